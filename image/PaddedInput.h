// A view of exactly `required` file bytes: the file itself when it is long
// enough, else a zero-padded copy. Layout loops then read without bounds
// checks, and a file longer than the layout uses is cut at `required`.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace image::layout {

class PaddedInput {
public:
    PaddedInput(std::span<const uint8_t> file, size_t required) {
        if (file.size() >= required) {
            view_ = file.first(required);
        } else {
            copy_.assign(required, 0);
            std::copy(file.begin(), file.end(), copy_.begin());
            view_ = copy_;
        }
    }
    PaddedInput(const PaddedInput&) = delete;
    PaddedInput& operator=(const PaddedInput&) = delete;

    const uint8_t* data() const { return view_.data(); }
    size_t size() const { return view_.size(); }

private:
    std::vector<uint8_t> copy_;
    std::span<const uint8_t> view_;
};

} // namespace image::layout
