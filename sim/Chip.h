// A virtual OTP chip in a socket. Its array starts blank (every byte
// kBlankByte); programming can only clear bits, never set them again, so a
// programmed chip takes new data only where that data keeps its cleared bits.
//
// Copies of a chip share its array until one of them changes (copy on
// write): snapshots for the state file cost nothing, and chips that went
// through the same steps together hold one array between them.
#pragma once

#include "sim/Types.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace sim {

class Chip {
public:
    // `size` 0 makes a chip of any body: its array grows, blank, to whatever
    // byte an OTP command reaches. Otherwise it has `size` bytes and a
    // command beyond them fails.
    explicit Chip(size_t size = 0);

    size_t Size() const { return contents_ ? contents_->size() : 0; }
    bool Sized() const { return Size() != 0; }
    bool Fixed() const { return fixed_; }
    const std::vector<uint8_t>& Contents() const;
    // Replaces the array (a chip programmed elsewhere).
    void SetContents(std::vector<uint8_t> contents);
    // The array in place, for reading a saved chip back (made this chip's own).
    std::vector<uint8_t>& MutableContents();

    // Whether both hold the very same array (both empty, or sharing one).
    bool SameContentsAs(const Chip& other) const { return contents_ == other.contents_; }
    // Takes the other chip's array (which holds what this one would after a
    // step both took from the same array).
    void ShareContentsOf(const Chip& other) { contents_ = other.contents_; }
    // Identifies the array while this chip holds it.
    const void* ContentsId() const { return contents_.get(); }

    // Each command covers the first `bytes` bytes of the array and fails when
    // the chip is smaller than that. Program and verify cover the bytes
    // `wanted` gives, from byte 0.
    bool Reach(size_t bytes);
    bool BlankCheck(size_t bytes);
    bool Program(std::span<const uint8_t> wanted);
    bool Verify(std::span<const uint8_t> wanted);
    bool IsBlank() const;

    // Trims are kept in trim registers apart from the OTP array.
    uint32_t IhrcTrims() const { return ihrcTrims_; }
    uint32_t LvdTrims() const { return lvdTrims_; }
    void SetTrims(uint32_t ihrc, uint32_t lvd) {
        ihrcTrims_ = ihrc;
        lvdTrims_ = lvd;
    }
    bool Trim(Operation which, size_t bytes);

    // The firmware body code of the last OTP command that reached the chip.
    uint8_t LastBodyCode() const { return lastBodyCode_; }
    void SetLastBodyCode(uint8_t code) { lastBodyCode_ = code; }

private:
    std::vector<uint8_t>& Own();

    // Null while the array is empty.
    std::shared_ptr<std::vector<uint8_t>> contents_;
    bool fixed_ = false;
    uint32_t ihrcTrims_ = 0;
    uint32_t lvdTrims_ = 0;
    uint8_t lastBodyCode_ = 0;
};

} // namespace sim
