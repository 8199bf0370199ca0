// The controller firmware: what version it reports, and the receivers for
// the application and boot updates. An update that starts puts the writer
// into its boot loader; only a complete, checked application and boot block
// bring it back into the application.
#pragma once

#include "sim/Types.h"
#include "sim/WriterState.h"

#include <cstdint>
#include <vector>

namespace sim {

// The version the writer leaves the factory with.
inline constexpr FirmwareVersion kFactoryVersion{9, 1, 0, 0, 0, 0};
// The version the boot loader reports (its first four numbers are not all
// zero, so an update check always sees a difference and offers the update).
inline constexpr FirmwareVersion kBootLoaderVersion{0, 0, 0, 1, 0, 0};

inline constexpr uint32_t kBootSize = 8192;
// Where the version lies in a firmware file (six big-endian 16-bit numbers).
inline constexpr size_t kVersionOffset = 0x6000;
inline constexpr uint32_t kRequestKey = 0x5A3C9E17;
inline constexpr uint32_t kMarkerA = 0x12345678;
inline constexpr uint32_t kMarkerB = 0x87654321;

// A firmware file (boot block then application) with `version` at its
// version offset and deterministic filler elsewhere. `appSize` must leave
// room for the version; smaller values are raised to the minimum.
std::vector<uint8_t> BuildFirmwareImage(const FirmwareVersion& version, size_t appSize = 0x6000);
// A firmware model as installing `image` would leave it.
FirmwareModel FirmwareFromImage(const std::vector<uint8_t>& image);
// The model of a writer fresh from the factory.
FirmwareModel FactoryFirmware();

class UpdateReceiver {
public:
    bool Receiving() const { return kind_ != Kind::None; }
    bool ReceivingApp() const { return kind_ == Kind::App; }

    void BeginApp(const uint8_t* header, FirmwareModel& firmware);
    void BeginBoot(const uint8_t* header, FirmwareModel& firmware);
    // Takes update data; returns how many bytes it used (the boot block ends
    // after its packets, the application only when FinishApp is called).
    size_t Accept(const uint8_t* data, size_t length, FirmwareModel& firmware);
    // The host asks for the application's acknowledgement: true when the
    // application arrived whole and its checksum matches.
    bool FinishApp(FirmwareModel& firmware);
    // Power lost in the middle: whatever was being replaced stays invalid.
    void Abort() { kind_ = Kind::None; }

private:
    enum class Kind { None, App, Boot };
    void FinishBoot(FirmwareModel& firmware);

    Kind kind_ = Kind::None;
    bool headerOk_ = false;
    uint32_t expectedSize_ = 0;
    uint32_t expectedSum_ = 0;
    uint64_t received_ = 0;
    uint32_t sum_ = 0;
    bool packetsOk_ = true;
    std::array<uint8_t, 12> versionBytes_{};
    std::array<uint8_t, 128> packet_{};
};

} // namespace sim
