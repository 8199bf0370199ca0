#include "usb/WireLib.h"

#include <cstring>
#include <vector>

namespace usb {
namespace {

constexpr WireErrorEntry kWireErrors[] = {
    {kWireReadFailed, "Error!\n\nRead USB failed. "},
    {kWireWriteFailed, "Error!\n\nWrite USB failed. "},
    {kWireReadTimeout, "Error!\n\nRead USB timeout. "},
    {kWireWriteTimeout, "Error!\n\nWrite USB timeout. "},
    {kWireNoDevice, "Error!\n\nCan't find MERiL USB device. Please re-plug in it."},
    {kWireBusy, "Warning!\n\nUSB is busy. Please retry."},
};

constexpr const char* kWireFallbackText = "USB is error! (WIRELIB)";

} // namespace

const char* WireErrorText(int code) {
    for (const auto& entry : kWireErrors)
        if (entry.code == code)
            return entry.text;
    return kWireFallbackText;
}

const WireErrorEntry* WireErrorTable(size_t& count) {
    count = std::size(kWireErrors);
    return kWireErrors;
}

C_WIRELIB::C_WIRELIB(port::DeviceIo* io, port::Clock& clock)
    : lock_(clock), io_(io), clock_(&clock) {}

void C_WIRELIB::Bind(port::DeviceIo* io, port::Clock& clock) {
    io_ = io;
    clock_ = &clock;
    lock_.SetClock(clock);
}

void C_WIRELIB::SetErrorCode(int code) {
    errorCode_ = code;
    if (code == kWireNoDevice)
        settled_ = 0;
}

int C_WIRELIB::EnumerateWriters(int& count) {
    count = 0;
    for (auto& path : paths_)
        path.clear();
    if (io_) {
        for (uint32_t member = 0; member < kMaxWriters; ++member) {
            std::string path;
            if (!io_->InterfaceMember(port::kWriterInterfaceClass, member, path))
                continue;
            // Only a path that opens is listed; the handle is closed at once.
            if (io_->Open(path) == nullptr)
                continue;
            paths_[static_cast<size_t>(count++)] = path;
        }
    }
    if (count == 0) {
        SetErrorCode(kWireNoDevice);
        return 0;
    }
    return 1;
}

std::string C_WIRELIB::GetPath(int index) {
    if (index < 0 || static_cast<size_t>(index) >= paths_.size())
        return {};
    return paths_[static_cast<size_t>(index)];
}

int C_WIRELIB::Release() {
    lock_.Give();
    return 1;
}

int C_WIRELIB::Acquire() {
    if (!settled_) {
        clock_->SleepMs(kSettleMs);
        settled_ = 1;
    }
    if (lock_.Take(kLockWaitMs))
        return 0;
    SetErrorCode(kWireBusy);
    return 1;
}

int C_WIRELIB::USB_Read(const std::string& interfacePath, uint8_t* buffer, size_t count) {
    return Transfer(interfacePath + kReadPipe, buffer, count, true);
}

int C_WIRELIB::USB_Write(const std::string& interfacePath, const uint8_t* buffer, size_t count) {
    // The write path never stores into the buffer.
    return Transfer(interfacePath + kWritePipe, const_cast<uint8_t*>(buffer), count, false);
}

int C_WIRELIB::HoldWritePipe(const std::string& interfacePath) {
    if (Acquire() != 0)
        return 0;
    const std::string path = interfacePath + kWritePipe;
    std::unique_ptr<port::DeviceHandle> pipe = io_ ? io_->Open(path) : nullptr;
    const bool held = pipe != nullptr;
    {
        std::lock_guard<std::mutex> guard(heldMutex_);
        heldPipe_ = std::move(pipe);
        heldPath_ = held ? path : std::string();
    }
    if (!held)
        SetErrorCode(kWireNoDevice);
    Release();
    return held ? 1 : 0;
}

void C_WIRELIB::ReleaseWritePipe() {
    std::unique_ptr<port::DeviceHandle> closing;
    {
        std::lock_guard<std::mutex> guard(heldMutex_);
        closing = std::move(heldPipe_);
        heldPath_.clear();
    }
}

bool C_WIRELIB::HoldsWritePipe() {
    std::lock_guard<std::mutex> guard(heldMutex_);
    return !heldPath_.empty();
}

int C_WIRELIB::Transfer(const std::string& pipePath, uint8_t* buffer, size_t count, bool isRead) {
    if (Acquire() != 0)
        return 0;
    std::unique_ptr<port::DeviceHandle> pipe;
    bool useHeld = false;
    if (!isRead) {
        std::lock_guard<std::mutex> guard(heldMutex_);
        useHeld = heldPipe_ && pipePath == heldPath_;
        if (useHeld)
            pipe = std::move(heldPipe_);
    }
    if (!useHeld && io_)
        pipe = io_->Open(pipePath);
    if (!pipe) {
        SetErrorCode(kWireNoDevice);
        Release();
        return 0;
    }
    int code;
    if (isRead) {
        // Data reaches the caller only from a complete read.
        std::vector<uint8_t> staging(count, 0);
        if (count)
            std::memset(buffer, 0, count);
        size_t transferred = 0;
        const auto outcome = pipe->Read(staging.data(), count, timeoutMs_, transferred);
        if (outcome == port::DeviceHandle::Outcome::TimedOut) {
            code = kWireReadTimeout;
        } else if (outcome == port::DeviceHandle::Outcome::Done && transferred == count) {
            if (count)
                std::memcpy(buffer, staging.data(), count);
            code = kWireOk;
        } else {
            code = kWireReadFailed;
        }
    } else {
        size_t transferred = 0;
        const auto outcome = pipe->Write(buffer, count, timeoutMs_, transferred);
        if (outcome == port::DeviceHandle::Outcome::TimedOut)
            code = kWireWriteTimeout;
        else if (outcome == port::DeviceHandle::Outcome::Done && transferred == count)
            code = kWireOk;
        else
            code = kWireWriteFailed; // a short write is a failed write
    }
    if (useHeld) {
        // A failed write ends the hold: later writes open the pipe afresh.
        std::lock_guard<std::mutex> guard(heldMutex_);
        if (code == kWireOk && heldPath_ == pipePath)
            heldPipe_ = std::move(pipe);
        else
            heldPath_.clear();
    }
    pipe.reset();
    SetErrorCode(code);
    Release();
    return code == kWireOk ? 1 : 0;
}

} // namespace usb
