#include "core/Log.h"

#include "port/LocalTime.h"
#include "port/ProgramPath.h"

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace core {
namespace {
constexpr const char* kFuncLogName = "LogFunc.txt";
constexpr const char* kUsbLogName = "LogUSB.txt";
constexpr const char* kOtpLogName = "LogOTP.txt";
} // namespace

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

C_LogFunc::C_LogFunc() {
    Configure(settings::kLogFuncEn, kFuncLogName);
}

void C_LogFunc::Configure(const char* enableKey, const char* fileName) {
    enabled_ = store_.GetInt(settings::kGeneral, enableKey);
    fileName_ = fileName;
}

void C_LogFunc::Reload() {
    Configure(settings::kLogFuncEn, kFuncLogName);
}

std::string C_LogFunc::FilePath() const {
    return port::ModuleFileName() + fileName_;
}

void C_LogFunc::Append(const std::string& entry, bool truncate) {
    const std::string path = FilePath();
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    std::ofstream file(path,
                       std::ios::binary | (truncate || !exists ? std::ios::trunc : std::ios::app));
    if (!file)
        return; // a log that cannot be opened loses this entry
    std::string text;
    text.reserve(entry.size() + 16);
    for (char c : entry) {
        if (c == '\n')
            text += '\r';
        text += c;
    }
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void C_LogFunc::Write(const std::string& text, bool truncate) {
    if (!enabled_)
        return;
    const port::LocalTime now = port::GetLocalTime();
    Append(text + Format("\t\t %02d:%02d:%02d\t\t", now.hour, now.minute, now.second), truncate);
}

void C_LogFunc::Clear() {
    if (!enabled_)
        return;
    std::ofstream file(FilePath(), std::ios::binary | std::ios::trunc);
}

C_USBLog::C_USBLog() {
    Configure(settings::kLogUsbEn, kUsbLogName);
}

void C_USBLog::Reload() {
    Configure(settings::kLogUsbEn, kUsbLogName);
}

C_OTPLog::C_OTPLog() {
    Configure(settings::kLogOtpEn, kOtpLogName);
}

void C_OTPLog::Write(const std::string& text, bool truncate) {
    if (!IsEnabled())
        return;
    Append(text + "\n", truncate);
}

} // namespace core
