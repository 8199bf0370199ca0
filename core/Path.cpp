#include "core/Path.h"

#include <cctype>

namespace core {
namespace {

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
        // Keep the separator the directory already uses; the platform's when
        // it uses both or none.
        const bool slashes = dir_.find('/') != std::string::npos;
        const bool backslashes = dir_.find('\\') != std::string::npos;
        path += slashes == backslashes ? PlatformSeparator() : slashes ? '/' : '\\';
    }
    path += name_;
    if (!ext_.empty() && ext_.front() != '.')
        path += '.';
    path += ext_;
    full_ = path;
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
        drive_ = rest.substr(0, 2);
        rest.erase(0, 2);
    }
    const size_t lastSeparator = rest.find_last_of("/\\");
    if (lastSeparator == std::string::npos) {
        dir_.clear();
    } else {
        dir_ = rest.substr(0, lastSeparator + 1);
        rest.erase(0, lastSeparator + 1);
    }
    const size_t dot = rest.find_last_of('.');
    if (dot == std::string::npos) {
        name_ = rest;
        ext_.clear();
    } else {
        name_ = rest.substr(0, dot);
        ext_ = rest.substr(dot);
    }
}

} // namespace core
