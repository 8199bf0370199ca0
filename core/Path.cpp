#include "core/Path.h"

#include <cctype>

namespace core {
namespace {

// Part sizes of the platform's splitting buffers, terminator included.
constexpr size_t kDriveMax = 3;
constexpr size_t kPartMax = 256;
constexpr size_t kPathMax = 1024;

std::string Cut(std::string s, size_t bufferSize) {
    if (s.size() > bufferSize - 1)
        s.resize(bufferSize - 1);
    return s;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

char PlatformSeparator() {
#ifdef _WIN32
    return '\\';
#else
    return '/';
#endif
}

} // namespace

void C_Path::SetExt(const std::string& ext) {
    ext_ = ext;
    GetFullPath();
}

std::string C_Path::GetFullPath() {
    std::string path = drive_;
    if (path.size() == 1)
        path += ':';
    path += dir_;
    if (!dir_.empty() && !IsSeparator(dir_.back())) {
        // Keep the separator the directory already uses.
        const bool backslashes =
            dir_.find('\\') != std::string::npos && dir_.find('/') == std::string::npos;
        path += backslashes ? '\\' : PlatformSeparator();
    }
    path += name_;
    if (!ext_.empty() && ext_.front() != '.')
        path += '.';
    path += ext_;
    full_ = Cut(path, kPathMax);
    return full_;
}

void C_Path::MakePath(const std::string& drive, const std::string& dir, const std::string& name,
                      const std::string& ext) {
    drive_ = drive;
    dir_ = dir;
    name_ = name;
    ext_ = ext;
    GetFullPath();
    SplitPath();
}

void C_Path::SplitPath() {
    std::string rest = full_;
    drive_.clear();
    if (rest.size() >= 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        drive_ = Cut(rest.substr(0, 2), kDriveMax);
        rest.erase(0, 2);
    }
    const size_t lastSeparator = rest.find_last_of("/\\");
    if (lastSeparator == std::string::npos) {
        dir_.clear();
    } else {
        dir_ = Cut(rest.substr(0, lastSeparator + 1), kPartMax);
        rest.erase(0, lastSeparator + 1);
    }
    const size_t dot = rest.find_last_of('.');
    if (dot == std::string::npos) {
        name_ = Cut(rest, kPartMax);
        ext_.clear();
    } else {
        name_ = Cut(rest.substr(0, dot), kPartMax);
        ext_ = Cut(rest.substr(dot), kPartMax);
    }
}

} // namespace core
