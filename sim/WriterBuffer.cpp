#include "sim/WriterBuffer.h"

#include <algorithm>

namespace sim {

bool WriterBuffer::BlankCheck(uint32_t size) const {
    const std::vector<uint8_t>& bytes = Bytes();
    const size_t end = std::min<size_t>(size, bytes.size());
    return std::all_of(bytes.begin(), bytes.begin() + end,
                       [](uint8_t b) { return b == kBlankByte; });
}

bool WriterBuffer::Load(uint32_t offset, const uint8_t* data, size_t length, long holders,
                        size_t expected) {
    if (size_t(offset) + length > kBufferCapacity)
        return false;
    if (!bytes_)
        bytes_ = std::make_shared<std::vector<uint8_t>>();
    else if (bytes_.use_count() > holders)
        bytes_ = std::make_shared<std::vector<uint8_t>>(*bytes_);
    std::vector<uint8_t>& bytes = *bytes_;
    if (bytes.size() < offset + length) {
        if (bytes.capacity() < offset + length)
            bytes.reserve(std::max(offset + length, std::min(expected, kBufferCapacity)));
        bytes.resize(offset + length, kBlankByte);
    }
    for (size_t i = 0; i < length; ++i)
        bytes[offset + i] &= data[i];
    return true;
}

uint32_t WriterBuffer::ByteSum(uint32_t size, uint32_t skipStart, uint32_t skipEnd) const {
    const std::vector<uint8_t>& bytes = Bytes();
    const size_t stored = std::min<size_t>(size, bytes.size());
    uint32_t sum = 0;
    for (size_t i = 0; i < stored; ++i)
        sum += bytes[i];
    sum += uint32_t(size - stored) * kBlankByte;
    const uint32_t end = std::min(skipEnd, size);
    for (uint32_t i = skipStart; i < end; ++i)
        sum += uint32_t(kBlankByte) - At(i);
    return sum;
}

bool WriterBuffer::ChipImage(size_t chipBytes, size_t group, std::vector<uint8_t>& chip) const {
    chip.resize(chipBytes);
    if (group == 0)
        return false;
    bool good = true;
    for (size_t first = 0, at = 0; first < chipBytes; first += group, at += group + 1) {
        uint8_t sum = 0;
        for (size_t i = 0; i < group; ++i) {
            const uint8_t b = At(at + i);
            sum = uint8_t(sum + b);
            if (first + i < chipBytes)
                chip[first + i] = b;
        }
        if (sum != At(at + group))
            good = false;
    }
    return good;
}

const std::vector<uint8_t>& WriterBuffer::Bytes() const {
    static const std::vector<uint8_t> erased;
    return bytes_ ? *bytes_ : erased;
}

void WriterBuffer::SetBytes(std::vector<uint8_t> bytes) {
    if (bytes.size() > kBufferCapacity)
        bytes.resize(kBufferCapacity);
    bytes_ = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
}

std::vector<uint8_t>& WriterBuffer::MutableBytes() {
    if (!bytes_)
        bytes_ = std::make_shared<std::vector<uint8_t>>();
    else if (bytes_.use_count() > 1)
        bytes_ = std::make_shared<std::vector<uint8_t>>(*bytes_);
    return *bytes_;
}

} // namespace sim
