#include "core/Profiler.h"

#include "core/Path.h"
#include "port/PrivateProfile.h"
#include "port/ProgramPath.h"

#include <cctype>
#include <climits>

namespace core {
namespace {
constexpr uint32_t kBufferSize = 1024;
} // namespace

std::string DefaultSettingsPath() {
    const std::string program = port::ModuleFileName();
    if (program.empty())
        return {}; // unknown program folder: no file, rather than one in the working folder
    C_Path path(program);
    path.SetExt(".ini");
    return path.GetFullPath();
}

C_Profiler::C_Profiler() : filePath_(DefaultSettingsPath()) {
    CreateLists();
}

C_Profiler::C_Profiler(const std::string& filePath) : filePath_(filePath) {
    CreateLists();
}

void C_Profiler::CreateLists() {
    sectionNames_.reserve(10);
    sectionLines_.reserve(10);
}

std::string C_Profiler::GetString(const char* section, const char* key) {
    char buffer[kBufferSize];
    const uint32_t n = GetStringRaw(section, key, buffer, sizeof buffer);
    return std::string(buffer, n);
}

uint32_t C_Profiler::GetStringRaw(const char* section, const char* key, char* buffer,
                                  uint32_t size) {
    return port::GetPrivateProfileString(section, key, "", buffer, size, filePath_.c_str());
}

bool C_Profiler::WriteString(const char* section, const char* key, const char* value) {
    return port::WritePrivateProfileString(section, key, value, filePath_.c_str());
}

bool C_Profiler::SectionExists(const char* section) {
    char buffer[kBufferSize];
    return port::GetPrivateProfileString(section, nullptr, "", buffer, sizeof buffer,
                                         filePath_.c_str()) > 0;
}

const std::vector<std::string>& C_Profiler::FillList(std::vector<std::string>& list,
                                                     const char* section) {
    char buffer[kBufferSize];
    const uint32_t n = port::GetPrivateProfileString(section, nullptr, "", buffer, sizeof buffer,
                                                     filePath_.c_str());
    list.clear();
    std::string entry;
    for (uint32_t i = 0; i < n; ++i) {
        if (buffer[i] != '\0') {
            entry += buffer[i];
            continue;
        }
        if (!entry.empty())
            list.push_back(entry);
        entry.clear();
    }
    if (!entry.empty())
        list.push_back(entry);
    return list;
}

const std::vector<std::string>& C_Profiler::GetSectionNames() {
    return FillList(sectionNames_, nullptr);
}

const std::vector<std::string>& C_Profiler::GetSectionLines(const char* section) {
    // A null section would ask for the section names instead.
    if (!section) {
        sectionLines_.clear();
        return sectionLines_;
    }
    return FillList(sectionLines_, section);
}

int C_Profiler::GetInt(const char* section, const char* key) {
    const std::string text = GetString(section, key);
    // Leading decimal digits, with an optional sign, as the C library reads them;
    // values beyond the integer range saturate instead of overflowing.
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    value = negative ? -value : value;
    if (value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(value);
}

bool C_Profiler::WriteInt(const char* section, const char* key, int value) {
    return WriteString(section, key, std::to_string(value).c_str());
}

std::string C_Profiler::GetLastOpenFileName() {
    return GetString(settings::kFile, settings::kLastOpenFileName);
}
bool C_Profiler::SetLastOpenFileName(const std::string& path) {
    return WriteString(settings::kFile, settings::kLastOpenFileName, path.c_str());
}
int C_Profiler::GetDevelopVersion() {
    return GetInt(settings::kGeneral, settings::kDevelopVersion);
}
bool C_Profiler::SetDevelopVersion(int value) {
    return WriteInt(settings::kGeneral, settings::kDevelopVersion, value);
}
std::string C_Profiler::GetLastFirmBinFile() {
    return GetString(settings::kFile, settings::kLastFirmBinFile);
}
bool C_Profiler::SetLastFirmBinFile(const std::string& path) {
    return WriteString(settings::kFile, settings::kLastFirmBinFile, path.c_str());
}
std::string C_Profiler::GetTitle() {
    return GetString(settings::kGeneral, settings::kTitle);
}
bool C_Profiler::SetTitle(const std::string& title) {
    return WriteString(settings::kGeneral, settings::kTitle, title.c_str());
}
std::string C_Profiler::GetVersion() {
    return GetString(settings::kGeneral, settings::kVersion);
}

bool C_OTPProfiler::IsDevelopVersion() {
    if (GetString(settings::kGeneral, settings::kDevelopVersion) == settings::kDevelopPassword)
        return true;
    WriteString(settings::kGeneral, settings::kDevelopVersion, "");
    return false;
}

int C_OTPProfiler::GetSeriesNum() {
    return GetInt(settings::kGeneral, (std::string(settings::kSeries) + "Num").c_str());
}

std::string C_OTPProfiler::GetSeries(int index) {
    return GetString(settings::kGeneral,
                     (std::string(settings::kSeries) + std::to_string(index)).c_str());
}

bool C_OTPProfiler::SetCounters(int ok, int fail) {
    return port::WritePrivateProfileStrings(settings::kGeneral,
                                            {{settings::kOtpCounterOk, std::to_string(ok)},
                                             {settings::kOtpCounterFail, std::to_string(fail)}},
                                            GetFilePath().c_str());
}

} // namespace core
