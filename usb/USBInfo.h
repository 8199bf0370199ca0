// The writer link: finds a writer of the wanted ICE body type among the
// devices of the writer's interface class, claims it for this process with a
// named mutex, and carries timed packet transfers to it through its logging
// transfer object.
#pragma once

#include "usb/IUSBInfo.h"
#include "usb/LogWireLib.h"

#include "core/Result.h"
#include "port/Clock.h"
#include "port/DeviceIo.h"
#include "port/NamedMutex.h"

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace usb {

// Message texts the link reports.
inline constexpr const char* kNoBodyText = "Internal Error. Please first set device body!";
inline constexpr const char* kNotCheckTypeText =
    "Internal Error. The ICE body type must be eMultiICEBODY_CHECK_TYPE!";
inline constexpr const char* kUnknownDeviceText =
    "Find MERiL USB device.\n"
    "But can't know device type, or maybe used by other process!\n"
    "You can try to re-plug in USB device.";
inline constexpr const char* kWrongIcText = "Select the wrong IC,Please check!";
inline constexpr const char* kNoUpdatableWriterText =
    "Find MERiL USB device.\n\n"
    "But can't know device type, or maybe used by other process!\n\n"
    "You can try to re-plug in USB device.";

inline constexpr uint32_t kDetectionTimeoutMs = 500;
inline constexpr uint32_t kPacketTimeoutMs = 3000;
inline constexpr size_t kPacketSize = 64;
// Written into bytes 60-63 of every query packet, little-endian.
inline constexpr uint32_t kQueryKey = 0x5A3C9E17;

// The claim name of a device: its path's instance part, from the first "#"
// at or after index 10 up to the first "{" after it; the whole path when it
// has no such part.
std::string DeviceMutexName(const std::string& devicePath);

// A 64-byte query: `command`, `argument` in byte 1, the query key at 60-63.
std::array<uint8_t, kPacketSize> QueryPacket(uint8_t command, uint8_t argument = 0);

class C_USBInfo : public I_USBInfo {
public:
    // Neither `io` (null when no backend could start) nor `clock` is owned;
    // failures are recorded on `result`.
    C_USBInfo(port::DeviceIo* io, port::Clock& clock,
              core::C_Result& result = core::SharedResult());
    ~C_USBInfo() override;
    C_USBInfo(const C_USBInfo&) = delete;
    C_USBInfo& operator=(const C_USBInfo&) = delete;

    int Open() override;
    int EnsureOpen() override;
    int SetBodyType(int type) override;
    int GetBodyType() override { return iceBodyType_; }
    int Close() override;
    int Write(const uint8_t* data, size_t length) override;
    int Read(uint8_t* data, size_t length) override;
    int HoldWritePipe() override;
    void ReleaseWritePipe() override;
    std::string GetMessage() override;
    int QueryLevel() override;
    int ReadDeviceType() override;
    std::string GetDevicePath() override;
    uint8_t Query2F() override;
    uint8_t Query30() override;
    int CheckDeviceType() override;
    int LockDevice(const std::string& devicePath) override;
    void ReportError(const char* text) override;
    void SetTimeout(uint32_t milliseconds) override;
    int FindAnyWriter() override;

    // Sets every field to its starting value and builds a fresh transfer object.
    void Init(port::DeviceIo* io, port::Clock& clock, core::C_Result& result);
    // Moves the link to another backend and clock: the claim is dropped and
    // the next transfer searches again. `unavailableText`, when the backend is
    // null, is what every search reports instead.
    void Bind(port::DeviceIo* io, port::Clock& clock, const std::string& unavailableText = {});

    // Limits every search to the writer at `interfacePath` (compared without
    // regard to case), so a program told which writer to use never claims
    // another; empty searches every writer again. The next transfer searches.
    void SetOnlyPath(const std::string& interfacePath);
    const std::string& OnlyPath() const { return onlyPath_; }

    bool IsOpened() const { return opened_ != 0; }
    bool IsRefindDue() const { return refind_ != 0; }
    bool HoldsDeviceLock() const { return deviceLock_.IsHeld(); }
    int GetLastDeviceType() const { return lastDeviceType_; }
    C_LogWIRELIB& Transfer() { return *transfer_; }

private:
    // The shared start of both searches; false (reported) when no writer is listed.
    bool StartSearch(int& count);
    // Claims each listed writer in turn and asks `examine` about it; the first
    // non-zero answer keeps the claim, opens the link and is stored in
    // `answer` (0 when every writer was refused). False, reported, when no
    // writer is listed.
    bool SearchWriters(const std::function<int()>& examine, int& answer);
    // Sends the detection query to the current path; the first reply byte.
    uint8_t Detect(size_t replySize);
    bool Accepts();
    uint8_t Query(uint8_t command, uint8_t argument, size_t replySize, uint8_t* reply);
    int PacketTransfer(uint8_t* data, size_t length, bool isRead);
    // Reports `text`, followed by why the system refused a claim during the
    // last search, when it did (an unusable claim folder, ...).
    void ReportSearchFailure(const char* text);

    // Guards the claim, the path and the open state: a removal closes the link
    // on the window's thread while a worker may be opening it or reading the
    // path for a transfer. Transfers themselves run outside it, so a close
    // never waits for one; the transfer object guards its own pipes.
    mutable std::recursive_mutex linkLock_;
    int iceBodyType_ = kIceBodyNone;
    int lastDeviceType_ = 0;
    std::atomic<int> opened_ = 0;
    port::NamedMutex deviceLock_;
    std::string devicePath_;
    std::atomic<int> refind_ = 1;
    std::unique_ptr<C_LogWIRELIB> transfer_;
    core::C_Result* result_ = nullptr;
    std::string unavailableText_;
    std::string claimError_; // the system's reason for the last refused claim
    std::string onlyPath_;   // empty: any writer
};

} // namespace usb
