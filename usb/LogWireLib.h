// The transfer object that also writes every transfer to the USB trace log.
#pragma once

#include "usb/WireLib.h"

#include "core/Log.h"

#include <memory>
#include <mutex>

namespace usb {

// The access delay used when the settings file holds 0 for it.
inline constexpr int kDefaultAccessDelayMs = 50;

class C_LogWIRELIB : public C_WIRELIB {
public:
    using C_WIRELIB::C_WIRELIB;
    ~C_LogWIRELIB() override = default;

    int USB_Read(const std::string& interfacePath, uint8_t* buffer, size_t count) override;
    int USB_Write(const std::string& interfacePath, const uint8_t* buffer, size_t count) override;

    // The delay as it stands after the first transfer: always 0, since no
    // transfer waits on it.
    int GetAccessDelay() const { return accessDelayMs_; }
    // The system major version above which the delay key is rewritten; the
    // running system's unless a test sets another.
    void SetSystemMajorVersion(uint32_t major) {
        systemMajor_ = major;
        systemMajorSet_ = true;
    }

    // The log entries, as written around each transfer. The data dumps show
    // the first 16 bytes of `data`, of which only `count` are read; bytes
    // beyond `count` show as 00.
    static std::string WriteStartEntry(const uint8_t* data, size_t count);
    static std::string WriteEndEntry();
    static std::string ReadStartEntry(size_t count);
    static std::string ReadEndEntry(const uint8_t* data, size_t count);

private:
    // Creates the log and reads the delay key, once, whichever thread comes first.
    void FirstUse();
    void ReadSettings();

    std::once_flag firstUse_;
    std::unique_ptr<core::C_USBLog> log_;
    int accessDelayMs_ = 0;
    uint32_t systemMajor_ = 0;
    bool systemMajorSet_ = false;
};

} // namespace usb
