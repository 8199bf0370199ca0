#include "port/NamedMutex.h"

#include <windows.h>

namespace port {

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
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
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
