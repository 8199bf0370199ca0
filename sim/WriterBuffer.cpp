#include "sim/WriterBuffer.h"

#include <algorithm>

namespace sim {

bool WriterBuffer::BlankCheck(uint32_t size) const {
    const size_t end = std::min<size_t>(size, bytes_.size());
    return std::all_of(bytes_.begin(), bytes_.begin() + end,
                       [](uint8_t b) { return b == kBlankByte; });
}

bool WriterBuffer::Load(uint32_t offset, const uint8_t* data, size_t length) {
    if (size_t(offset) + length > kBufferCapacity)
        return false;
    if (bytes_.size() < offset + length)
        bytes_.resize(offset + length, kBlankByte);
    for (size_t i = 0; i < length; ++i)
        bytes_[offset + i] &= data[i];
    return true;
}

uint32_t WriterBuffer::ByteSum(uint32_t size) const {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += At(i);
    return sum;
}

void WriterBuffer::SetBytes(std::vector<uint8_t> bytes) {
    if (bytes.size() > kBufferCapacity)
        bytes.resize(kBufferCapacity);
    bytes_ = std::move(bytes);
}

} // namespace sim
