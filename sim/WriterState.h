// Everything a writer keeps across commands, power cycles and runs: the
// sockets with their chips and buffers, the information memory, the
// counters and the installed firmware. Plain data, so the state file can
// write and read it whole.
#pragma once

#include "sim/Chip.h"
#include "sim/Types.h"
#include "sim/WriterBuffer.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace sim {

struct SocketModel {
    std::optional<Chip> chip;
    WriterBuffer buffer;
    SocketState state = SocketState::Init;
    // Bus-clock time until which the socket reports Busy (an operation runs).
    uint64_t busyUntilMs = 0;
};

struct FirmwareModel {
    FirmwareVersion version{};
    uint32_t appSize = 0;
    uint32_t appCheckSum = 0;
    uint32_t bootCheckSum = 0;
    bool appValid = true;
    bool bootValid = true;
    // Running the boot loader rather than the application.
    bool inBootLoader = false;
};

struct WriterState {
    std::array<SocketModel, kSocketCount> sockets;
    // The 192-byte information memory; empty until a block is stored.
    std::optional<std::array<uint8_t, kInfoBlockSize>> info;
    // Byte 5 of the last set-OTP-information command (0 when none came).
    uint8_t otpInfoVariant = 0;
    uint16_t passCount = 0;
    uint16_t failCount = 0;
    // The last socket mask received.
    uint16_t mask = 0;
    FirmwareModel firmware;
};

// Who the writer is on the bus.
struct WriterConfig {
    // Interface member index; kAutoMember takes the first free one.
    static constexpr uint32_t kAutoMember = 0xFFFFFFFF;
    uint32_t member = kAutoMember;
    uint16_t vendorId = 0xf055;
    uint16_t productId = 0x0b0d;
    // The instance part of the interface path; empty makes one from the bus's
    // identity and the member.
    std::string instance;
    // Answer to the type query: 6 or 7 for this writer family.
    uint8_t deviceType = 7;
    // kAutoSerial: the bus gives the writer a serial number of its own.
    static constexpr uint32_t kAutoSerial = 0;
    uint32_t serial = kAutoSerial;
};

} // namespace sim
