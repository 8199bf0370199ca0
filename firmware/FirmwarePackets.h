// Wire formats of the writer's firmware update: the version request and its
// reply, the mode query, the application header, the boot header and the boot
// packets. Pure byte building and parsing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace firmware {

constexpr size_t kPacketSize = 64;
using Packet = std::array<uint8_t, kPacketSize>;

// The key that ends the writer's query packets (LE32 at bytes 60-63).
constexpr uint32_t kRequestKey = 0x5A3C9E17;
// Markers of the application header and the boot packets.
constexpr uint32_t kAppMarkerFront = 0x12345678;
constexpr uint32_t kAppMarkerBack = 0x87654321;

constexpr uint8_t kCmdVersion = 0x0A;
constexpr uint8_t kCmdApp = 0x15;
constexpr uint8_t kCmdBoot = 0x18;

// The boot block is the file's first 8192 bytes; the application follows.
constexpr uint32_t kBootSize = 8192;
constexpr size_t kBootPacketSize = 128;
constexpr size_t kBootDataPerPacket = 64;
// Six big-endian 16-bit version numbers at this file offset.
constexpr size_t kFileVersionOffset = 0x6000;
constexpr size_t kVersionNumbers = 6;
// A firmware file reaches past its version and fits the controller's 64 KiB
// of code memory, boot block and application together.
constexpr size_t kMinFirmwareFileSize = kFileVersionOffset + 2 * kVersionNumbers;
constexpr size_t kMaxFirmwareFileSize = 0x10000;

using Version = std::array<uint16_t, kVersionNumbers>;

// 0x0A 0x01, low 16 bits of the firmware file's length, the key.
Packet VersionRequest(uint32_t fileLength);
// 0x0A and the key; the writer answers with one byte.
Packet ModeQuery();
// 0x15, application size (low 16 bits), checksum, the two markers.
Packet AppHeader(uint32_t appSize, uint32_t appCheckSum);
// 0x18, boot size (low 16 bits), checksum, the key.
Packet BootHeader(uint32_t bootSize, uint32_t bootCheckSum);
// One 128-byte packet per 64 boot bytes: front marker, zeros, back marker,
// then the 64 bytes. A trailing partial group is padded with zeros.
std::vector<uint8_t> BuildBootPackets(const uint8_t* boot, size_t bootSize);

struct VersionReply {
    Version version{};
    uint32_t writerValue = 0;
    uint32_t writerAppCheckSum = 0;
};
// Words at 0, 2, 4, 6 are version numbers 1-4; 8-11 the writer value, 12-15
// the application checksum (low half first); 16, 18 version numbers 5 and 6.
VersionReply ParseVersionReply(const Packet& reply);
// The reverse, for writers that answer the request.
Packet EncodeVersionReply(const VersionReply& reply);

// The file's version from its contents; false when the file is too short to
// hold it (the version then stays zero).
bool ReadFileVersion(const uint8_t* contents, size_t length, Version& version);
// "%04d.%04d.%04d.%04d" of the first four numbers.
std::string FormatVersion(const Version& version);

} // namespace firmware
