// The writer firmware's own table of the bodies it programs, by body code
// (byte 5 of the OTP commands, byte 9 of verify buffer). The host loads the
// word image: the chip image cut into groups of chip bytes, each followed by
// a check byte (their sum mod 256). The firmware checks and strips those
// bytes and programs the chip image; it must know each body's group size and
// how many chip bytes one address of its commands stands for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

struct RecordWindow {
    uint32_t start = 0;
    uint32_t end = 0; // one past the last byte; start == end: no window
};

struct BodyCode {
    // Chip bytes per word-image group, each group followed by its check byte.
    uint8_t group = 0;
    // Chip bytes one address stands for: 3 for the bodies whose OTP is a
    // series of 24-bit words addressed by word, 1 for byte-addressed ones.
    uint8_t bytesPerAddress = 1;
    // Where the host places a chip's information record in the word image:
    // verify buffer counts these bytes as 0xFF whatever they hold, so a
    // buffer verifies with the record of any chip in it.
    RecordWindow window;

    // The chip bytes that addresses 0..endAddress cover.
    size_t ChipBytes(uint32_t endAddress) const {
        return (size_t{endAddress} + 1) * bytesPerAddress;
    }
};

// The firmware's entry for body code 1 to 34; null for a code it does not
// know, whose OTP commands it refuses.
const BodyCode* FindBodyCode(uint8_t code);

// The record window of a body code; an empty window for an unknown code.
RecordWindow RecordWindowOf(uint8_t code);

} // namespace sim
