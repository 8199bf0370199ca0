// The writer link as its users see it: one link per process, shared by the
// writer engine and the firmware updater, each selecting the hardware kind
// (ICE body type) it needs before it talks to the writer.
#pragma once

#include "core/Result.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace usb {

// ICE body types: the hardware kinds the link accepts.
enum IceBodyType : int {
    kIceBodyNone = 0,
    kIceBodyFirmwareUpdate = 8,
    kIceBodyWriter = 11,
    eMultiICEBODY_CHECK_TYPE = 16,
};

class I_USBInfo : public core::I_StandardFace {
public:
    // Finds and claims a writer of the current ICE body type. 1 found, 0 not
    // (the message is on the result). Blocks on the transfers of the detection.
    virtual int Open() = 0;
    // Runs Open when not open (or a fresh search is due); else 1.
    virtual int EnsureOpen() = 0;
    virtual int SetBodyType(int type) = 0;
    virtual int GetBodyType() = 0;
    // Drops the device claim; the device path stays. Returns 1. Never blocks.
    virtual int Close() = 0;
    // One timed transfer of `length` bytes (3000 ms up to 64 bytes, no limit
    // beyond, no limit at all once the unlimited-wait switch is on). 1 ok; 0
    // failed: the link is closed and the message is on the result. Blocks.
    virtual int Write(const uint8_t* data, size_t length) = 0;
    virtual int Read(uint8_t* data, size_t length) = 0;
    // Keeps the write pipe open for the writes that follow, until
    // ReleaseWritePipe, so a run of writes opens it once. Each write still
    // takes the transfer lock and is logged. 1 ok; 0 failed: the link is
    // closed and the message is on the result. A link that always opens the
    // pipe per write has nothing to hold and returns 1.
    virtual int HoldWritePipe() { return 1; }
    virtual void ReleaseWritePipe() {}
    // The current message of the result object.
    virtual std::string GetMessage() = 0;
    virtual int QueryLevel() = 0;
    virtual int ReadDeviceType() = 0;
    virtual std::string GetDevicePath() = 0;
    virtual uint8_t Query2F() = 0;
    virtual uint8_t Query30() = 0;
    virtual int CheckDeviceType() = 0;
    virtual int LockDevice(const std::string& devicePath) = 0;
    virtual void ReportError(const char* text) = 0;
    // 0 waits without limit.
    virtual void SetTimeout(uint32_t milliseconds) = 0;
    // For the firmware updater: finds any writer of a known kind; returns its
    // device type byte (0 when none). The ICE body type must be
    // eMultiICEBODY_CHECK_TYPE.
    virtual int FindAnyWriter() = 0;
};

// The process-wide switch that makes every transfer wait without limit; the
// writer engine turns it on, nothing turns it off.
void SetUnlimitedWait(bool on);
bool IsUnlimitedWait();

} // namespace usb
