// The settings store: the INI file beside the program, read and written
// through the private-profile calls on every access, with no cache.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace core {

// Sections and keys of the settings file.
namespace settings {
inline constexpr const char* kGeneral = "General";
inline constexpr const char* kFile = "File";
inline constexpr const char* kDevelopVersion = "DevelopVersion";
inline constexpr const char* kTitle = "Title";
inline constexpr const char* kVersion = "Version";
inline constexpr const char* kOtpCounterOk = "OtpCounterOk";
inline constexpr const char* kOtpCounterFail = "OtpCounterFail";
inline constexpr const char* kUsbAccessDelay = "USBAccessDelay";
inline constexpr const char* kLogUsbEn = "LogUSBEn";
inline constexpr const char* kLogFuncEn = "LogFuncEn";
inline constexpr const char* kLogOtpEn = "LogOTPEn";
inline constexpr const char* kSeries = "Series";
inline constexpr const char* kLastOpenFileName = "LastOpenFileName";
inline constexpr const char* kLastFirmBinFile = "LastFirmBinFile";
inline constexpr const char* kDeviceBodyIndex = "DeviceBodyIndex";
// Bytes per write when the writer buffer is loaded through a pipe held open;
// 0 or missing loads one 64-byte packet per transfer.
inline constexpr const char* kLoadBlockBytes = "LoadBlockBytes";
// The value of "DevelopVersion" that turns developer mode on; case-sensitive.
inline constexpr const char* kDevelopPassword = "MERiL_TB7";
} // namespace settings

// The program's settings file: its own path with the extension ".ini"; empty
// (every write then fails) when the system cannot say where the program is.
std::string DefaultSettingsPath();

class C_Profiler {
public:
    // On the program's settings file.
    C_Profiler();
    // On `filePath`, used unchanged.
    explicit C_Profiler(const std::string& filePath);
    virtual ~C_Profiler() = default;

    virtual void SetFilePath(const std::string& filePath) { filePath_ = filePath; }
    virtual std::string GetFilePath() const { return filePath_; }

    // Values longer than 1023 characters come back cut to 1023.
    virtual std::string GetString(const char* section, const char* key);
    // Copies into `buffer`; returns the count of characters copied.
    virtual uint32_t GetStringRaw(const char* section, const char* key, char* buffer,
                                  uint32_t size);
    virtual bool WriteString(const char* section, const char* key, const char* value);
    // True when the section holds at least one key.
    virtual bool SectionExists(const char* section);
    // Lists owned by the store, replaced by the next call; entries beyond the
    // first 1024 characters of the platform's list are lost.
    virtual const std::vector<std::string>& GetSectionNames();
    virtual const std::vector<std::string>& GetSectionLines(const char* section);
    // Leading decimal digits of the value; 0 when missing, empty or not a number.
    virtual int GetInt(const char* section, const char* key);
    virtual bool WriteInt(const char* section, const char* key, int value);

    virtual std::string GetLastOpenFileName();
    virtual bool SetLastOpenFileName(const std::string& path);
    virtual int GetDevelopVersion();
    virtual bool SetDevelopVersion(int value);
    virtual std::string GetLastFirmBinFile();
    virtual bool SetLastFirmBinFile(const std::string& path);
    virtual std::string GetTitle();
    virtual bool SetTitle(const std::string& title);
    virtual std::string GetVersion();

protected:
    virtual void CreateLists();

private:
    const std::vector<std::string>& FillList(std::vector<std::string>& list, const char* section);

    std::string filePath_;
    std::vector<std::string> sectionNames_;
    std::vector<std::string> sectionLines_;
};

class C_OTPProfiler : public C_Profiler {
public:
    using C_Profiler::C_Profiler;

    // True when "DevelopVersion" is exactly "MERiL_TB7"; otherwise blanks the
    // key (so it exists, empty) and returns false.
    virtual bool IsDevelopVersion();
    virtual int GetSeriesNum();
    virtual std::string GetSeries(int index);

    // The counters and body index, by name, for the window and the command line.
    int GetCounterOk() { return GetInt(settings::kGeneral, settings::kOtpCounterOk); }
    int GetCounterFail() { return GetInt(settings::kGeneral, settings::kOtpCounterFail); }
    // Both counters in one rewrite of the file: a reader never finds one
    // window's OK count beside another's fail count.
    bool SetCounters(int ok, int fail);
    int GetDeviceBodyIndex() { return GetInt(settings::kFile, settings::kDeviceBodyIndex); }
    bool SetDeviceBodyIndex(int index) {
        return WriteInt(settings::kFile, settings::kDeviceBodyIndex, index);
    }
};

} // namespace core
