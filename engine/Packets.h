// The writer's command protocol: 64-byte command packets, the socket-mask
// packet, the status reply and the 192-byte information block. Pure byte
// building and parsing; nothing here talks to the writer.
#pragma once

#include "core/Bytes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace engine {

constexpr size_t kPacketSize = 64;
constexpr size_t kSocketCount = 16;
constexpr size_t kInfoBlockSize = 192;
constexpr size_t kInfoSectionSize = 64;
constexpr size_t kInfoRecordSize = 14;

using Packet = std::array<uint8_t, kPacketSize>;
using InfoBlockBytes = std::array<uint8_t, kInfoBlockSize>;
using InfoRecord = std::array<uint8_t, kInfoRecordSize>;

// Command codes of the writer.
enum Command : uint8_t {
    kCmdReadStatus = 0x07,
    kCmdSetOTPInfo = 0x1C,
    kCmdGetOTPInfo = 0x1D,
    kCmdBlankCheckOTP = 0x1E,
    kCmdProgramOTP = 0x1F,
    kCmdVerifyOTP = 0x20,
    kCmdBlankCheckBuffer = 0x21,
    kCmdEraseBuffer = 0x22,
    kCmdLoadBuffer = 0x23,
    kCmdVerifyBuffer = 0x24,
    kCmdSetInfo = 0x25,
    kCmdScanSockets = 0x26,
    kCmdSetCounters = 0x27,
    kCmdSetSocketStates = 0x28,
    kCmdGetInfo = 0x2A,
    kCmdReadOTP = 0x2E,
    kCmdTrimIHRC = 0x32,
    kCmdTrimLVD = 0x33,
};

// Per-socket states as the status reply carries them.
enum SocketState : uint8_t {
    kSocketInit = 0,
    kSocketOK = 1,
    kSocketBusy = 2,
    kSocketFail = 3,
};

// Text the operator sees for a state ("Init", "OK", "Busy", "Fail"); "?" for
// a value outside 0..3.
const char* SocketStateText(uint8_t state);

// Byte 5 of the OTP-information commands.
constexpr uint8_t kInfoModeDefault = 0x05;
constexpr uint8_t kInfoModeAlternate = 0x07;

using core::GetLE16;
using core::GetLE32;
using core::PutLE16;
using core::PutLE32;

// Plain sum of bytes, each unsigned, in a 32-bit accumulator.
using core::ByteSum;

// A command packet with only its code set.
Packet CommandPacket(uint8_t code);
// Code, LE32 at bytes 1-4 and, when given, one byte at 5 (the commands that
// carry an end address and the firmware body code, or a length and a mode).
Packet AddressCommand(uint8_t code, uint32_t value, std::optional<uint8_t> byte5 = std::nullopt);
// 0x24: image size, image checksum, firmware body code.
Packet VerifyBufferCommand(uint32_t imageSize, uint32_t imageCheckSum, uint8_t fwBody);
// 0x27: pass and fail counts, LE16 each.
Packet SetCountersCommand(uint16_t passCount, uint16_t failCount);
// 0x28: one state byte per socket, socket i at byte 1 + i.
Packet SocketStatesCommand(const std::array<uint8_t, kSocketCount>& states);
// The packet that follows every masked command: LE16 of enabled sockets.
Packet SocketMaskPacket(uint16_t mask);

// State of every socket from a status reply: socket i (0-7) at byte 2i,
// socket i+8 at byte 2i+1.
std::array<uint8_t, kSocketCount> DecodeStatusReply(const Packet& reply);
// The reverse, for writers that answer the status command.
Packet EncodeStatusReply(const std::array<uint8_t, kSocketCount>& states);

// Byte offsets in the information block.
namespace info {
constexpr size_t kBodySeries = 0x03;
constexpr size_t kBodyType = 0x04;
constexpr size_t kImageSize = 0x06;
constexpr size_t kImageCheckSum = 0x0A;
constexpr size_t kFwBody = 0x0E;
constexpr size_t kFiller = 0x0F;
constexpr size_t kRecord = 0x20;
constexpr size_t kRecordEnd = 0x30;
constexpr size_t kBlankCheckOp = 0x43;
constexpr size_t kBlankCheckEnd = 0x44;
constexpr size_t kSection2FwBody = 0x48;
constexpr size_t kProgramOp = 0x49;
constexpr size_t kProgramEnd = 0x4A;
constexpr size_t kVerifyOp = 0x4E;
constexpr size_t kVerifyEnd = 0x4F;
constexpr size_t kSection3Marker = 0x83;
constexpr size_t kPassCounter = 0x84;
constexpr size_t kFailCounter = 0x86;
constexpr size_t kCheckSumInSection = 60;
// A block read back with this byte at kBodySeries holds nothing stored.
constexpr uint8_t kNothingStored = 0xAA;
constexpr uint8_t kOpNotSelected = 0xFF;
} // namespace info

// What the program puts into a block it sends.
struct InfoBlockContent {
    uint8_t bodySeries = 0;
    uint16_t bodyType = 0;
    uint32_t imageSize = 0;
    uint32_t imageCheckSum = 0;
    uint8_t fwBody = 0;
    // The OTP-information variant carries the chip's information record.
    std::optional<InfoRecord> record;
    bool blankCheck = false;
    bool program = false;
    bool verify = false;
    uint32_t lastUnit = 0;
    uint16_t passCounter = 0;
    uint16_t failCounter = 0;
};

// Builds the whole block: section headers, fields, the three checksums.
InfoBlockBytes BuildInfoBlock(const InfoBlockContent& content);
// Writes the checksum of each section's first 60 bytes at its offset 60.
void StampInfoCheckSums(InfoBlockBytes& block);
// Sum of the first 60 bytes of section 0, 1 or 2.
uint32_t InfoSectionCheckSum(const InfoBlockBytes& block, size_t section);

// The last block read from the writer, with typed views onto its fields.
class InfoBlock {
public:
    // Before any block was read: zeros, with the "nothing stored" mark, so a
    // caller that reads it takes its values from elsewhere.
    InfoBlock();
    explicit InfoBlock(const InfoBlockBytes& bytes) : bytes_(bytes) {}

    const InfoBlockBytes& Bytes() const { return bytes_; }
    InfoBlockBytes& Bytes() { return bytes_; }

    bool HoldsNothing() const { return bytes_[info::kBodySeries] == info::kNothingStored; }
    uint8_t BodySeries() const { return bytes_[info::kBodySeries]; }
    uint16_t BodyType() const { return GetLE16(&bytes_[info::kBodyType]); }
    uint16_t PassCounter() const { return GetLE16(&bytes_[info::kPassCounter]); }
    uint16_t FailCounter() const { return GetLE16(&bytes_[info::kFailCounter]); }
    uint8_t BlankCheckOp() const { return bytes_[info::kBlankCheckOp]; }
    uint8_t ProgramOp() const { return bytes_[info::kProgramOp]; }
    uint8_t VerifyOp() const { return bytes_[info::kVerifyOp]; }

private:
    InfoBlockBytes bytes_;
};

} // namespace engine
