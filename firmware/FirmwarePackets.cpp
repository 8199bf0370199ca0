#include "firmware/FirmwarePackets.h"

#include "core/Bytes.h"

#include <algorithm>
#include <cstdio>

namespace firmware {
using core::GetLE16;
using core::PutLE16;
using core::PutLE32;

Packet VersionRequest(uint32_t fileLength) {
    Packet packet{};
    packet[0] = kCmdVersion;
    packet[1] = 0x01;
    PutLE16(&packet[2], fileLength);
    PutLE32(&packet[60], kRequestKey);
    return packet;
}

Packet ModeQuery() {
    Packet packet{};
    packet[0] = kCmdVersion;
    PutLE32(&packet[60], kRequestKey);
    return packet;
}

Packet AppHeader(uint32_t appSize, uint32_t appCheckSum) {
    Packet packet{};
    packet[0] = kCmdApp;
    PutLE16(&packet[1], appSize);
    PutLE32(&packet[3], appCheckSum);
    PutLE32(&packet[7], kAppMarkerFront);
    PutLE32(&packet[60], kAppMarkerBack);
    return packet;
}

Packet BootHeader(uint32_t bootSize, uint32_t bootCheckSum) {
    Packet packet{};
    packet[0] = kCmdBoot;
    PutLE16(&packet[1], bootSize);
    PutLE32(&packet[3], bootCheckSum);
    PutLE32(&packet[60], kRequestKey);
    return packet;
}

std::vector<uint8_t> BuildBootPackets(const uint8_t* boot, size_t bootSize) {
    const size_t count = (bootSize + kBootDataPerPacket - 1) / kBootDataPerPacket;
    std::vector<uint8_t> packets(count * kBootPacketSize, 0);
    for (size_t k = 0; k < count; ++k) {
        uint8_t* packet = &packets[k * kBootPacketSize];
        PutLE32(&packet[0], kAppMarkerFront);
        PutLE32(&packet[60], kAppMarkerBack);
        const size_t start = k * kBootDataPerPacket;
        const size_t take = std::min(kBootDataPerPacket, bootSize - start);
        for (size_t i = 0; i < take; ++i)
            packet[64 + i] = boot[start + i];
    }
    return packets;
}

VersionReply ParseVersionReply(const Packet& reply) {
    VersionReply parsed;
    for (size_t i = 0; i < 4; ++i)
        parsed.version[i] = GetLE16(&reply[2 * i]);
    parsed.writerValue = GetLE16(&reply[8]) | (static_cast<uint32_t>(GetLE16(&reply[10])) << 16);
    parsed.writerAppCheckSum =
        GetLE16(&reply[12]) | (static_cast<uint32_t>(GetLE16(&reply[14])) << 16);
    parsed.version[4] = GetLE16(&reply[16]);
    parsed.version[5] = GetLE16(&reply[18]);
    return parsed;
}

Packet EncodeVersionReply(const VersionReply& reply) {
    Packet packet{};
    for (size_t i = 0; i < 4; ++i)
        PutLE16(&packet[2 * i], reply.version[i]);
    PutLE32(&packet[8], reply.writerValue);
    PutLE32(&packet[12], reply.writerAppCheckSum);
    PutLE16(&packet[16], reply.version[4]);
    PutLE16(&packet[18], reply.version[5]);
    return packet;
}

bool ReadFileVersion(const uint8_t* contents, size_t length, Version& version) {
    if (contents == nullptr || length < kFileVersionOffset + 2 * kVersionNumbers)
        return false;
    for (size_t i = 0; i < kVersionNumbers; ++i) {
        const uint8_t* at = contents + kFileVersionOffset + 2 * i;
        version[i] = static_cast<uint16_t>((at[0] << 8) | at[1]);
    }
    return true;
}

std::string FormatVersion(const Version& version) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d.%04d.%04d.%04d", version[0], version[1], version[2],
                  version[3]);
    return text;
}

} // namespace firmware
