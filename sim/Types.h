// Shared vocabulary of the simulated writer: socket states, the operations a
// socket runs, transport faults and operation timings.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sim {

inline constexpr int kSocketCount = 16;
inline constexpr size_t kPacketSize = 64;
inline constexpr size_t kInfoBlockSize = 192;
// The value of an unprogrammed OTP byte and of an erased writer-buffer byte.
inline constexpr uint8_t kBlankByte = 0xFF;
// The largest image one socket's writer buffer holds: the largest word image
// any body makes (body 10: a 4 MiB chip image in groups of two with a check
// byte each, 6 MiB).
inline constexpr size_t kBufferCapacity = 6 * 1024 * 1024;
// The largest OTP array a chip may have: the largest chip image (body 10).
inline constexpr size_t kMaxChipSize = 4 * 1024 * 1024;

// Bulk endpoint addresses: the IN pipe is listed first, the OUT pipe second.
inline constexpr uint8_t kEndpointIn = 0x81;
inline constexpr uint8_t kEndpointOut = 0x02;

enum class SocketState : uint8_t { Init = 0, Ok = 1, Busy = 2, Fail = 3 };

// Per-socket operations that a fault can be attached to.
enum class Operation : uint8_t {
    BlankCheck,
    Program,
    Verify,
    TrimIhrc,
    TrimLvd,
    ReadOtp,
    EraseBuffer,
    BlankCheckBuffer,
    LoadBuffer,
    VerifyBuffer,
};
inline constexpr int kOperationCount = 10;
const char* OperationName(Operation op);

enum class TransportFaultKind : uint8_t {
    ReadTimeout,  // the read waits its whole time limit and times out
    ShortRead,    // the read delivers fewer bytes than asked
    ReadFails,    // the read fails at once
    WriteTimeout, // the write waits its whole time limit and times out
    WriteFails,   // the write fails at once
    Unplug,       // the writer leaves the bus before the transfer runs
};

enum class Direction : uint8_t { Any, Read, Write };

// One planned fault: hits transfer number `atTransfer` (1-based, counted per
// writer over reads and writes) when it goes in `direction`; with
// `atTransfer` 0 it hits the next matching transfer. `times` matching
// transfers are hit (0 = every one from then on).
struct TransportFault {
    TransportFaultKind kind = TransportFaultKind::ReadFails;
    uint64_t atTransfer = 0;
    Direction direction = Direction::Any;
    uint32_t times = 1;
    // For ShortRead: how many bytes are delivered.
    size_t shortBytes = 0;
};

// How long the writer takes, in milliseconds of the bus clock. While an
// operation runs its sockets report Busy. All zero by default.
struct Timings {
    uint32_t transferMs = 0;        // every transfer
    uint32_t otpOperationMs = 0;    // blank check, program, verify, trims, read
    uint32_t bufferOperationMs = 0; // erase, blank check, load, verify of the buffer
    uint32_t scanMs = 0;
};

// Six 16-bit numbers; the first four are the version shown to the operator.
using FirmwareVersion = std::array<uint16_t, 6>;

} // namespace sim
