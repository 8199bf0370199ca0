#include "sim/Firmware.h"

#include <algorithm>

namespace sim {
namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t ByteSum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return sum;
}

// Offset of the version inside the application part of a firmware file.
constexpr size_t kAppVersionOffset = kVersionOffset - kBootSize;
constexpr size_t kMinAppSize = kAppVersionOffset + 12;
// The application shares the controller's 64 KiB of code memory with the boot block.
constexpr size_t kMaxAppSize = 0x10000 - kBootSize;

FirmwareVersion VersionFrom(const uint8_t* bytes) {
    FirmwareVersion v{};
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = uint16_t(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    return v;
}

} // namespace

std::vector<uint8_t> BuildFirmwareImage(const FirmwareVersion& version, size_t appSize) {
    appSize = std::max(appSize, kMinAppSize);
    std::vector<uint8_t> image(kBootSize + appSize);
    uint32_t seed = 0x2545F491u ^ (uint32_t(version[0]) << 16 | version[1]) ^
                    (uint32_t(version[2]) << 8 | version[3]);
    for (auto& b : image) {
        seed = seed * 1664525u + 1013904223u;
        b = uint8_t(seed >> 24);
    }
    for (size_t i = 0; i < version.size(); ++i) {
        image[kVersionOffset + 2 * i] = uint8_t(version[i] >> 8);
        image[kVersionOffset + 2 * i + 1] = uint8_t(version[i]);
    }
    return image;
}

FirmwareModel FirmwareFromImage(const std::vector<uint8_t>& image) {
    FirmwareModel fw;
    if (image.size() < kBootSize + kMinAppSize) {
        fw.appValid = false;
        fw.inBootLoader = true;
        return fw;
    }
    fw.version = VersionFrom(image.data() + kVersionOffset);
    fw.bootCheckSum = ByteSum(image.data(), kBootSize);
    fw.appSize = uint32_t(image.size() - kBootSize);
    fw.appCheckSum = ByteSum(image.data() + kBootSize, fw.appSize);
    return fw;
}

FirmwareModel FactoryFirmware() {
    return FirmwareFromImage(BuildFirmwareImage(kFactoryVersion));
}

void UpdateReceiver::BeginApp(const uint8_t* header, FirmwareModel& firmware) {
    kind_ = Kind::App;
    headerOk_ = Le32(header + 7) == kMarkerA && Le32(header + 60) == kMarkerB;
    expectedSize_ = uint32_t(header[1] | header[2] << 8);
    expectedSum_ = Le32(header + 3);
    received_ = 0;
    sum_ = 0;
    versionBytes_.fill(0);
    // The old application is erased before the new one arrives.
    firmware.appValid = false;
    firmware.inBootLoader = true;
}

void UpdateReceiver::BeginBoot(const uint8_t* header, FirmwareModel& firmware) {
    kind_ = Kind::Boot;
    expectedSize_ = uint32_t(header[1] | header[2] << 8);
    expectedSum_ = Le32(header + 3);
    headerOk_ = expectedSize_ == kBootSize && Le32(header + 60) == kRequestKey;
    received_ = 0;
    sum_ = 0;
    packetsOk_ = true;
    firmware.bootValid = false;
    firmware.inBootLoader = true;
}

size_t UpdateReceiver::Accept(const uint8_t* data, size_t length, FirmwareModel& firmware) {
    if (kind_ == Kind::App) {
        for (size_t i = 0; i < length; ++i, ++received_) {
            sum_ += data[i];
            if (received_ >= kAppVersionOffset && received_ < kMinAppSize)
                versionBytes_[received_ - kAppVersionOffset] = data[i];
        }
        return length;
    }
    if (kind_ != Kind::Boot)
        return 0;
    // The boot block always arrives as 2 x 8192 bytes of packets.
    const uint64_t total = 2 * uint64_t(kBootSize);
    size_t used = 0;
    while (used < length && received_ < total) {
        const size_t inPacket = received_ % 128;
        packet_[inPacket] = data[used++];
        ++received_;
        if (inPacket == 127) {
            packetsOk_ = packetsOk_ && Le32(packet_.data()) == kMarkerA &&
                         Le32(packet_.data() + 60) == kMarkerB &&
                         std::all_of(packet_.begin() + 4, packet_.begin() + 60,
                                     [](uint8_t b) { return b == 0; });
            sum_ += ByteSum(packet_.data() + 64, 64);
        }
    }
    if (received_ == total)
        FinishBoot(firmware);
    return used;
}

bool UpdateReceiver::FinishApp(FirmwareModel& firmware) {
    if (kind_ != Kind::App)
        return false;
    kind_ = Kind::None;
    // The size field carries only the low 16 bits of the length.
    const bool ok = headerOk_ && received_ >= kMinAppSize && received_ <= kMaxAppSize &&
                    uint32_t(received_ & 0xFFFF) == expectedSize_ && sum_ == expectedSum_;
    if (!ok)
        return false;
    firmware.appValid = true;
    firmware.appSize = uint32_t(received_);
    firmware.appCheckSum = sum_;
    firmware.version = VersionFrom(versionBytes_.data());
    return true;
}

void UpdateReceiver::FinishBoot(FirmwareModel& firmware) {
    kind_ = Kind::None;
    if (!(headerOk_ && packetsOk_ && sum_ == expectedSum_))
        return;
    firmware.bootValid = true;
    firmware.bootCheckSum = sum_;
    // Both parts good: the writer restarts into the new application.
    if (firmware.appValid)
        firmware.inBootLoader = false;
}

} // namespace sim
