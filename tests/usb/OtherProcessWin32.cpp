#include "tests/usb/OtherProcess.h"

#include <windows.h>

namespace usbtest {

struct MutexHolderProcess::Child {
    HANDLE process = nullptr;
    HANDLE input = nullptr;
};

MutexHolderProcess::MutexHolderProcess(const std::string& name) : child_(new Child) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE toChildRead = nullptr;
    HANDLE toChildWrite = nullptr;
    HANDLE fromChildRead = nullptr;
    HANDLE fromChildWrite = nullptr;
    if (!::CreatePipe(&toChildRead, &toChildWrite, &inherit, 0))
        return;
    if (!::CreatePipe(&fromChildRead, &fromChildWrite, &inherit, 0)) {
        ::CloseHandle(toChildRead);
        ::CloseHandle(toChildWrite);
        return;
    }
    // Only the child's ends are inherited.
    ::SetHandleInformation(toChildWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(fromChildRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = toChildRead;
    startup.hStdOutput = fromChildWrite;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    std::string command = "\"" + std::string(BURNWRIGHT_MUTEX_HOLDER) + "\" \"" + name + "\"";
    PROCESS_INFORMATION started{};
    const bool spawned = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &startup, &started);
    ::CloseHandle(toChildRead);
    ::CloseHandle(fromChildWrite);
    if (!spawned) {
        ::CloseHandle(toChildWrite);
        ::CloseHandle(fromChildRead);
        return;
    }
    ::CloseHandle(started.hThread);
    child_->process = started.hProcess;
    child_->input = toChildWrite;
    char c;
    DWORD n = 0;
    while (::ReadFile(fromChildRead, &c, 1, &n, nullptr) && n == 1 && c != '\n')
        if (c != '\r')
            answer_ += c;
    ::CloseHandle(fromChildRead);
}

MutexHolderProcess::~MutexHolderProcess() {
    if (child_->input)
        ::CloseHandle(child_->input);
    if (child_->process) {
        ::WaitForSingleObject(child_->process, INFINITE);
        ::CloseHandle(child_->process);
    }
}

} // namespace usbtest
