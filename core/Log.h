// Trace logs: append-only text files beside the program. Every entry opens,
// appends to and closes its file; no handle is held between entries. Line
// breaks are stored as CR LF on every platform.
#pragma once

#include "core/Profiler.h"

#include <string>

namespace core {

class C_LogFunc {
public:
    C_LogFunc();
    virtual ~C_LogFunc() = default;

    // Appends `text`, two tabs and a space, the local time as HH:MM:SS and two
    // tabs. With `truncate` set, or when the file is missing, the file is first
    // created empty. Does nothing while disabled.
    virtual void Write(const std::string& text, bool truncate = false);
    virtual void SetEnabled(int enabled) { enabled_ = enabled; }
    // Empties the file (creating it) while enabled.
    virtual void Clear();
    // Reads the enable key again and resets the file name.
    virtual void Reload();

    bool IsEnabled() const { return enabled_ != 0; }
    // The program path with the log name appended, as the entries use it.
    std::string FilePath() const;

protected:
    void Configure(const char* enableKey, const char* fileName);
    // Appends `entry` (with "\n" stored as CR LF), creating or truncating first.
    void Append(const std::string& entry, bool truncate);

    C_Profiler store_;

private:
    std::string fileName_;
    int enabled_ = 0;
};

class C_USBLog : public C_LogFunc {
public:
    C_USBLog();
    void Reload() override;
};

// Entries carry no time stamp: the text and a line break.
class C_OTPLog : public C_LogFunc {
public:
    C_OTPLog();
    void Write(const std::string& text, bool truncate = false) override;
};

// printf-style formatting into a string, for building log entries and messages.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace core
