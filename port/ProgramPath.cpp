#include "port/ProgramPath.h"

#include <cstdlib>
#include <mutex>

namespace port {

std::string PlatformModuleFileName(); // one definition per platform

namespace {
std::mutex overrideLock;
std::string overridePath;
} // namespace

std::string ModuleFileName() {
    {
        std::lock_guard<std::mutex> guard(overrideLock);
        if (!overridePath.empty())
            return overridePath;
    }
    if (const char* env = std::getenv("BURNWRIGHT_PROGRAM_PATH"); env && *env)
        return env;
    return PlatformModuleFileName();
}

void SetModuleFileNameOverride(const std::string& path) {
    std::lock_guard<std::mutex> guard(overrideLock);
    overridePath = path;
}

ScopedModuleFileName::ScopedModuleFileName(const std::string& path) {
    std::lock_guard<std::mutex> guard(overrideLock);
    previous_ = overridePath;
    overridePath = path;
}

ScopedModuleFileName::~ScopedModuleFileName() {
    SetModuleFileNameOverride(previous_);
}

std::string ModuleFolder() {
    const std::string path = ModuleFileName();
    const auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

} // namespace port
