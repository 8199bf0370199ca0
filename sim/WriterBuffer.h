// One socket's writer buffer: a flash area that holds the image the socket
// programs. Erasing sets every byte to kBlankByte; loading can only clear
// bits, as in flash, so a load over an image that was not erased first
// leaves the combination of both.
#pragma once

#include "sim/Types.h"

#include <cstdint>
#include <vector>

namespace sim {

class WriterBuffer {
public:
    void Erase() { bytes_.clear(); }
    bool BlankCheck(uint32_t size) const;
    // False when the data would go beyond the capacity; nothing is stored then.
    bool Load(uint32_t offset, const uint8_t* data, size_t length);
    uint32_t ByteSum(uint32_t size) const;
    uint8_t At(size_t address) const {
        return address < bytes_.size() ? bytes_[address] : kBlankByte;
    }
    // The bytes up to the last one that is not blank.
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    void SetBytes(std::vector<uint8_t> bytes);
    // The bytes in place, for reading a saved buffer back.
    std::vector<uint8_t>& MutableBytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

} // namespace sim
