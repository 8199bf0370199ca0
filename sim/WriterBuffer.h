// One socket's writer buffer: a flash area that holds the image the socket
// programs. Erasing sets every byte to kBlankByte; loading can only clear
// bits, as in flash, so a load over an image that was not erased first
// leaves the combination of both.
//
// Sockets loaded together hold the same bytes; they share one copy until one
// of them changes (copy on write), so sixteen sockets loaded with the largest
// image take the memory of one. Copies of a buffer (snapshots for the state
// file) share it too and never see later changes.
#pragma once

#include "sim/Types.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace sim {

class WriterBuffer {
public:
    void Erase() { bytes_.reset(); }
    bool BlankCheck(uint32_t size) const;
    // False when the data would go beyond the capacity; nothing is stored then.
    // `holders` is how many buffers taking this same load share these bytes
    // now: they may be changed in place only when nobody else holds them.
    // `expected` is how many bytes the whole load brings (room is made for
    // them at once, not piece by piece).
    bool Load(uint32_t offset, const uint8_t* data, size_t length, long holders = 1,
              size_t expected = 0);
    // The byte sum of the first `size` bytes, those in [skipStart, skipEnd)
    // counted as 0xFF.
    uint32_t ByteSum(uint32_t size, uint32_t skipStart = 0, uint32_t skipEnd = 0) const;
    // The first `chipBytes` bytes of the chip image the buffer holds as a word
    // image: groups of `group` chip bytes, each followed by its check byte.
    // False when the check byte of a group it reaches is wrong.
    bool ChipImage(size_t chipBytes, size_t group, std::vector<uint8_t>& chip) const;
    uint8_t At(size_t address) const {
        return bytes_ && address < bytes_->size() ? (*bytes_)[address] : kBlankByte;
    }
    // The bytes up to the last one that was loaded.
    const std::vector<uint8_t>& Bytes() const;
    void SetBytes(std::vector<uint8_t> bytes);
    // The bytes in place, for reading a saved buffer back (made this buffer's own).
    std::vector<uint8_t>& MutableBytes();

    // Whether both hold the very same bytes (both erased, or sharing one copy).
    bool SameBytesAs(const WriterBuffer& other) const { return bytes_ == other.bytes_; }
    // Identifies the bytes while this buffer holds them.
    const void* BytesId() const { return bytes_.get(); }
    void ShareBytesOf(const WriterBuffer& other) { bytes_ = other.bytes_; }

private:
    std::shared_ptr<std::vector<uint8_t>> bytes_;
};

} // namespace sim
