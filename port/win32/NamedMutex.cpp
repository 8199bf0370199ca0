#include "port/NamedMutex.h"

#include <windows.h>

namespace port {

struct NamedMutex::Handle {
    HANDLE mutex = nullptr;
};

NamedMutex::NamedMutex() = default;
NamedMutex::~NamedMutex() {
    Close();
}

NamedMutex::Outcome NamedMutex::Create(const std::string& name) {
    Close();
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
    if (!mutex)
        return Outcome::Failed;
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
