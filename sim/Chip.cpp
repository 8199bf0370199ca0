#include "sim/Chip.h"

#include <algorithm>

namespace sim {

Chip::Chip(size_t size) : contents_(std::min(size, kMaxChipSize), kBlankByte), fixed_(size != 0) {}

bool Chip::Reach(size_t bytes) {
    if (!fixed_ && bytes > contents_.size() && bytes <= kMaxChipSize)
        contents_.resize(bytes, kBlankByte);
    return bytes <= contents_.size();
}

bool Chip::BlankCheck(size_t bytes) {
    if (!Reach(bytes))
        return false;
    return std::all_of(contents_.begin(), contents_.begin() + long(bytes),
                       [](uint8_t b) { return b == kBlankByte; });
}

bool Chip::Program(std::span<const uint8_t> wanted) {
    if (!Reach(wanted.size()))
        return false;
    bool ok = true;
    for (size_t i = 0; i < wanted.size(); ++i) {
        // Only bits still at the blank value can change; cleared bits stay.
        contents_[i] &= wanted[i];
        if (contents_[i] != wanted[i])
            ok = false;
    }
    return ok;
}

bool Chip::Verify(std::span<const uint8_t> wanted) {
    if (!Reach(wanted.size()))
        return false;
    return std::equal(wanted.begin(), wanted.end(), contents_.begin());
}

bool Chip::IsBlank() const {
    return std::all_of(contents_.begin(), contents_.end(),
                       [](uint8_t b) { return b == kBlankByte; });
}

bool Chip::Trim(Operation which, size_t bytes) {
    if (!Reach(bytes))
        return false;
    if (which == Operation::TrimIhrc)
        ++ihrcTrims_;
    else
        ++lvdTrims_;
    return true;
}

} // namespace sim
