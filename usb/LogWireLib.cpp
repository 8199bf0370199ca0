#include "usb/LogWireLib.h"

#include "core/Profiler.h"
#include "port/SystemVersion.h"

#include <algorithm>
#include <cstring>

namespace usb {
namespace {

constexpr const char* kDumpFormat = "%02X %02X %02X %02X %02X %02X %02X %02X - "
                                    "%02X %02X %02X %02X %02X %02X %02X %02X ";

std::string Dump(const uint8_t* data, size_t count) {
    // Never read past the bytes the caller handed over.
    uint8_t b[16] = {};
    if (data)
        std::memcpy(b, data, std::min<size_t>(count, sizeof(b)));
    return core::Format(kDumpFormat, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9],
                        b[10], b[11], b[12], b[13], b[14], b[15]);
}

} // namespace

std::string C_LogWIRELIB::WriteStartEntry(const uint8_t* data, size_t count) {
    return core::Format("\n\nStart\tUSB_Write() \n\t\tData[0x%X]:\n\t\t",
                        static_cast<unsigned>(count)) +
           Dump(data, count);
}

std::string C_LogWIRELIB::WriteEndEntry() {
    return "\nEnd\t\tUSB_Write()";
}

std::string C_LogWIRELIB::ReadStartEntry(size_t count) {
    return core::Format("\n\nStart\tUSB_Read(Size:0x%X)", static_cast<unsigned>(count));
}

std::string C_LogWIRELIB::ReadEndEntry(const uint8_t* data, size_t count) {
    return core::Format("\nEnd\t\tUSB_Read() \n\t\tData[0x%X]:\n\t\t",
                        static_cast<unsigned>(count)) +
           Dump(data, count);
}

void C_LogWIRELIB::FirstUse() {
    std::call_once(firstUse_, [this] { ReadSettings(); });
}

void C_LogWIRELIB::ReadSettings() {
    log_ = std::make_unique<core::C_USBLog>();
    core::C_Profiler store;
    accessDelayMs_ = store.GetInt(core::settings::kGeneral, core::settings::kUsbAccessDelay);
    if (accessDelayMs_ == 0)
        accessDelayMs_ = kDefaultAccessDelayMs;
    // The delay is no longer used: it is dropped, and on current systems the
    // settings file is told so.
    accessDelayMs_ = 0;
    const uint32_t major = systemMajorSet_ ? systemMajor_ : port::SystemMajorVersion();
    if (major > 5)
        store.WriteInt(core::settings::kGeneral, core::settings::kUsbAccessDelay, accessDelayMs_);
}

int C_LogWIRELIB::USB_Write(const std::string& interfacePath, const uint8_t* buffer, size_t count) {
    FirstUse();
    if (log_->IsEnabled())
        log_->Write(WriteStartEntry(buffer, count));
    const int ok = C_WIRELIB::USB_Write(interfacePath, buffer, count);
    if (log_->IsEnabled())
        log_->Write(WriteEndEntry());
    return ok;
}

int C_LogWIRELIB::USB_Read(const std::string& interfacePath, uint8_t* buffer, size_t count) {
    FirstUse();
    if (log_->IsEnabled())
        log_->Write(ReadStartEntry(count));
    const int ok = C_WIRELIB::USB_Read(interfacePath, buffer, count);
    if (log_->IsEnabled())
        log_->Write(ReadEndEntry(buffer, count));
    return ok;
}

} // namespace usb
