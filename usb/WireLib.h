// Pipe transfer: one timed read or write at a time through the writer's two
// bulk pipes. Every transfer takes the transfer lock, opens its pipe afresh,
// transfers, closes the pipe and frees the lock; the outcome is kept as a
// small error code with a fixed text.
#pragma once

#include "usb/TransferLock.h"

#include "port/Clock.h"
#include "port/DeviceIo.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace usb {

// Outcome codes of the transfer object; their texts are WireErrorText's.
enum WireErrorCode : int {
    kWireOk = 0,
    kWireReadFailed = 1,
    kWireWriteFailed = 2,
    kWireReadTimeout = 3,
    kWireWriteTimeout = 4,
    kWireNoDevice = 5,
    kWireBusy = 6,
};

// The fixed text of a transfer error code; codes outside the table (0
// included) give the fallback "USB is error! (WIRELIB)".
const char* WireErrorText(int code);

// The whole code table, for the check that walks it.
struct WireErrorEntry {
    int code;
    const char* text;
};
const WireErrorEntry* WireErrorTable(size_t& count);

inline constexpr const char* kReadPipe = "\\PIPE00";
inline constexpr const char* kWritePipe = "\\PIPE01";
inline constexpr size_t kMaxWriters = 100;
inline constexpr uint32_t kLockWaitMs = 5000;
inline constexpr uint32_t kSettleMs = 2000;

class C_WIRELIB {
public:
    // `io` may be null when no backend could start: every enumeration and
    // transfer then ends with code 5. Neither `io` nor `clock` is owned.
    C_WIRELIB(port::DeviceIo* io, port::Clock& clock);
    virtual ~C_WIRELIB() = default;
    C_WIRELIB(const C_WIRELIB&) = delete;
    C_WIRELIB& operator=(const C_WIRELIB&) = delete;

    virtual int GetErrorCode() { return errorCode_; }
    virtual std::string GetErrorText() { return WireErrorText(errorCode_); }
    // Milliseconds; 0 waits without limit.
    virtual void SetTimeout(uint32_t milliseconds) { timeoutMs_ = milliseconds; }
    // Lists the openable writer paths into a dense list; 1 when any. Takes no
    // lock. Blocks on the system's device lists and one open per member.
    virtual int EnumerateWriters(int& count);
    virtual std::string GetPath(int index);
    // One timed read of exactly `count` bytes from the read pipe of
    // `interfacePath`; 1 ok. The caller's bytes are zeroed first and receive
    // data only on success. Blocks for the lock and the transfer.
    virtual int USB_Read(const std::string& interfacePath, uint8_t* buffer, size_t count);
    // One timed write of `count` bytes to the write pipe; 1 ok.
    virtual int USB_Write(const std::string& interfacePath, const uint8_t* buffer, size_t count);
    // Opens the write pipe of `interfacePath` and keeps it for every
    // USB_Write to that path until ReleaseWritePipe; a write that fails
    // closes it, and later writes open the pipe per transfer again. 1 ok; 0
    // with code 5 (or 6 when the lock stays busy) when it cannot be opened.
    virtual int HoldWritePipe(const std::string& interfacePath);
    virtual void ReleaseWritePipe();
    bool HoldsWritePipe();
    // Frees the transfer lock, whoever holds it. Returns 1.
    virtual int Release();
    // Takes the transfer lock: 0 taken, 1 busy (code 6). Sleeps the settle
    // time first after a "no device" outcome.
    virtual int Acquire();
    // Code 5 also marks the link unsettled.
    virtual void SetErrorCode(int code);

    // What the backend can add to a failed search (port::DeviceIo::TakeProblem).
    std::string TakeBackendProblem() { return io_ ? io_->TakeProblem() : std::string(); }
    // Tells the backend that the program gave up its claim on the device.
    void ReleaseDevice(const std::string& interfacePath) {
        if (io_ && !interfacePath.empty())
            io_->ReleaseDevice(interfacePath);
    }

    uint32_t GetTimeout() const { return timeoutMs_; }
    bool IsSettled() const { return settled_ != 0; }
    bool HasBackend() const { return io_ != nullptr; }
    // Rebinds the backend and the clock; only between transfers.
    void Bind(port::DeviceIo* io, port::Clock& clock);
    TransferLock& Lock() { return lock_; }

private:
    int Transfer(const std::string& pipePath, uint8_t* buffer, size_t count, bool isRead);

    // Written by whichever thread transferred last; read without the lock.
    std::atomic<int> errorCode_{kWireOk};
    uint32_t timeoutMs_ = 0;
    std::array<std::string, kMaxWriters> paths_;
    TransferLock lock_;
    std::atomic<int> settled_{1};
    port::DeviceIo* io_;
    port::Clock* clock_;
    // The write pipe kept open between writes and its path. A write takes the
    // handle out while it runs and puts it back unless it failed or the hold
    // was released meanwhile.
    std::mutex heldMutex_;
    std::unique_ptr<port::DeviceHandle> heldPipe_;
    std::string heldPath_;
};

} // namespace usb
