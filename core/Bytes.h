// Little-endian fields and the byte checksum, shared by every packet and
// image format of the program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

inline void PutLE16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutLE32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint16_t GetLE16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

inline uint32_t GetLE32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// The sum of the bytes as unsigned values in a 32-bit accumulator (wrapping).
inline uint32_t ByteSum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

} // namespace core
