#include "sim/Chip.h"

#include <algorithm>

namespace sim {

Chip::Chip(size_t size) : contents_(std::min(size, kMaxChipSize), kBlankByte), fixed_(size != 0) {}

bool Chip::Reach(uint32_t endAddress) {
    const size_t needed = size_t(endAddress) + 1;
    if (!fixed_ && needed > contents_.size() && needed <= kMaxChipSize)
        contents_.resize(needed, kBlankByte);
    return needed <= contents_.size();
}

bool Chip::BlankCheck(uint32_t endAddress) {
    if (!Reach(endAddress))
        return false;
    return std::all_of(contents_.begin(), contents_.begin() + endAddress + 1,
                       [](uint8_t b) { return b == kBlankByte; });
}

bool Chip::Program(uint32_t endAddress, const std::function<uint8_t(size_t)>& source) {
    if (!Reach(endAddress))
        return false;
    bool ok = true;
    for (size_t i = 0; i <= endAddress; ++i) {
        const uint8_t wanted = source(i);
        // Only bits still at the blank value can change; cleared bits stay.
        contents_[i] &= wanted;
        if (contents_[i] != wanted)
            ok = false;
    }
    return ok;
}

bool Chip::Verify(uint32_t endAddress, const std::function<uint8_t(size_t)>& source) {
    if (!Reach(endAddress))
        return false;
    for (size_t i = 0; i <= endAddress; ++i)
        if (contents_[i] != source(i))
            return false;
    return true;
}

bool Chip::IsBlank() const {
    return std::all_of(contents_.begin(), contents_.end(),
                       [](uint8_t b) { return b == kBlankByte; });
}

bool Chip::Trim(Operation which, uint32_t endAddress) {
    if (!Reach(endAddress))
        return false;
    if (which == Operation::TrimIhrc)
        ++ihrcTrims_;
    else
        ++lvdTrims_;
    return true;
}

} // namespace sim
