// Any bytes as a settings file: every section and key listed reads without
// fault, and setting one key changes that key alone; it then reads back.
#include "port/PrivateProfile.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::string TempFile() {
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder ? folder : "/tmp") + "/fuzz-profile-" +
                       std::to_string(::getpid()) + ".ini";
    return path;
}

std::vector<std::string> List(const char* section, const std::string& file) {
    std::vector<char> buffer(1 << 16);
    const uint32_t n = port::GetPrivateProfileString(
        section, nullptr, "", buffer.data(), static_cast<uint32_t>(buffer.size()), file.c_str());
    std::vector<std::string> names;
    for (uint32_t at = 0; at < n;) {
        const std::string name(buffer.data() + at);
        names.push_back(name);
        at += static_cast<uint32_t>(name.size()) + 1;
    }
    return names;
}

std::string Value(const std::string& section, const std::string& key, const std::string& file) {
    std::vector<char> buffer(1 << 16);
    port::GetPrivateProfileString(section.c_str(), key.c_str(), "<none>", buffer.data(),
                                  static_cast<uint32_t>(buffer.size()), file.c_str());
    return buffer.data();
}

std::map<std::pair<std::string, std::string>, std::string> Everything(const std::string& file) {
    std::map<std::pair<std::string, std::string>, std::string> all;
    for (const std::string& section : List(nullptr, file))
        for (const std::string& key : List(section.c_str(), file))
            all[{section, key}] = Value(section, key, file);
    return all;
}

// Names compare as the file's reader compares them: blanks around them and
// letter case do not count.
bool SameName(const std::string& name, const char* wanted) {
    const auto first = name.find_first_not_of(" \t\r\v\f");
    if (first == std::string::npos)
        return *wanted == '\0';
    const auto last = name.find_last_not_of(" \t\r\v\f");
    return strcasecmp(name.substr(first, last - first + 1).c_str(), wanted) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string file = TempFile();
    if (FILE* out = std::fopen(file.c_str(), "wb")) {
        std::fwrite(data, 1, size, out);
        std::fclose(out);
    }
    auto before = Everything(file);
    if (!port::WritePrivateProfileString("General", "OtpCounterOk", "1234", file.c_str()))
        std::abort();
    if (Value("General", "OtpCounterOk", file) != "1234")
        std::abort();
    auto after = Everything(file);
    for (auto& entry : {&before, &after})
        for (auto it = entry->begin(); it != entry->end();)
            it = SameName(it->first.first, "General") && SameName(it->first.second, "OtpCounterOk")
                     ? entry->erase(it)
                     : std::next(it);
    if (before != after)
        std::abort();
    return 0;
}
