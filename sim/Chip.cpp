#include "sim/Chip.h"

#include <algorithm>

namespace sim {

Chip::Chip(size_t size) : fixed_(size != 0) {
    if (size)
        contents_ =
            std::make_shared<std::vector<uint8_t>>(std::min(size, kMaxChipSize), kBlankByte);
}

const std::vector<uint8_t>& Chip::Contents() const {
    static const std::vector<uint8_t> empty;
    return contents_ ? *contents_ : empty;
}

void Chip::SetContents(std::vector<uint8_t> contents) {
    if (contents.empty())
        contents_.reset();
    else
        contents_ = std::make_shared<std::vector<uint8_t>>(std::move(contents));
}

std::vector<uint8_t>& Chip::MutableContents() {
    return Own();
}

std::vector<uint8_t>& Chip::Own() {
    if (!contents_)
        contents_ = std::make_shared<std::vector<uint8_t>>();
    else if (contents_.use_count() > 1)
        contents_ = std::make_shared<std::vector<uint8_t>>(*contents_);
    return *contents_;
}

bool Chip::Reach(size_t bytes) {
    if (!fixed_ && bytes > Size() && bytes <= kMaxChipSize)
        Own().resize(bytes, kBlankByte);
    return bytes <= Size();
}

bool Chip::BlankCheck(size_t bytes) {
    if (!Reach(bytes))
        return false;
    const auto& contents = Contents();
    return std::all_of(contents.begin(), contents.begin() + long(bytes),
                       [](uint8_t b) { return b == kBlankByte; });
}

bool Chip::Program(std::span<const uint8_t> wanted) {
    if (!Reach(wanted.size()))
        return false;
    if (wanted.empty())
        return true;
    std::vector<uint8_t>& contents = Own();
    bool ok = true;
    for (size_t i = 0; i < wanted.size(); ++i) {
        // Only bits still at the blank value can change; cleared bits stay.
        contents[i] &= wanted[i];
        if (contents[i] != wanted[i])
            ok = false;
    }
    return ok;
}

bool Chip::Verify(std::span<const uint8_t> wanted) {
    if (!Reach(wanted.size()))
        return false;
    return std::equal(wanted.begin(), wanted.end(), Contents().begin());
}

bool Chip::IsBlank() const {
    const auto& contents = Contents();
    return std::all_of(contents.begin(), contents.end(), [](uint8_t b) { return b == kBlankByte; });
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
