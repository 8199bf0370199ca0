// A virtual OTP chip in a socket. Its array starts blank (every byte
// kBlankByte); programming can only clear bits, never set them again, so a
// programmed chip takes new data only where that data keeps its cleared bits.
#pragma once

#include "sim/Types.h"

#include <cstdint>
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

    size_t Size() const { return contents_.size(); }
    bool Sized() const { return !contents_.empty(); }
    bool Fixed() const { return fixed_; }
    const std::vector<uint8_t>& Contents() const { return contents_; }
    // Replaces the array (a chip programmed elsewhere).
    void SetContents(std::vector<uint8_t> contents) { contents_ = std::move(contents); }
    // The array in place, for reading a saved chip back.
    std::vector<uint8_t>& MutableContents() { return contents_; }

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
    std::vector<uint8_t> contents_;
    bool fixed_ = false;
    uint32_t ihrcTrims_ = 0;
    uint32_t lvdTrims_ = 0;
    uint8_t lastBodyCode_ = 0;
};

} // namespace sim
