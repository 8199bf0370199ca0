#include "port/NamedMutex.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace port {
namespace {

// A lock folder, given or from BURNWRIGHT_LOCK_DIR, is a namespace of claims
// here as it is on POSIX systems: programs that name the same folder see the
// same claims, and no others. The system's names cannot hold a folder path, so
// the folder is folded into a prefix.
std::string SystemName(const std::string& lockFolder, const std::string& name) {
    std::string folder = lockFolder;
    if (folder.empty())
        if (const char* env = std::getenv("BURNWRIGHT_LOCK_DIR"); env && *env)
            folder = env;
    if (folder.empty())
        return name;
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (unsigned char c : folder)
        hash = (hash ^ c) * 1099511628211ull;
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "Burnwright-%016llx-",
                  static_cast<unsigned long long>(hash));
    return prefix + name;
}

} // namespace

struct NamedMutex::Handle {
    HANDLE mutex = nullptr;
};

std::string DefaultLockFolder() {
    return {}; // the system keeps named mutexes itself
}

NamedMutex::NamedMutex() = default;
NamedMutex::NamedMutex(const std::string& lockFolder) : lockFolder_(lockFolder) {}
NamedMutex::~NamedMutex() {
    Close();
}

NamedMutex::Outcome NamedMutex::Create(const std::string& name) {
    Close();
    error_.clear();
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, SystemName(lockFolder_, name).c_str());
    if (!mutex) {
        error_ = "The system refused the claim " + name + " (error " +
                 std::to_string(::GetLastError()) + ")";
        return Outcome::Failed;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return Outcome::AlreadyExists;
    }
    handle_ = std::make_unique<Handle>();
    handle_->mutex = mutex;
    return Outcome::Created;
}

void NamedMutex::Close() {
    if (handle_) {
        ::CloseHandle(handle_->mutex);
        handle_.reset();
    }
}

bool NamedMutex::IsHeld() const {
    return handle_ != nullptr;
}

} // namespace port
