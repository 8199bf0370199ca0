// The platform's own device backend: interface members through the setup
// API, pipes opened for overlapped I/O, each transfer waited for with its time
// limit, and arrival and removal through configuration-manager notifications.
#ifndef WINVER
#define WINVER 0x0602
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include "port/DeviceIo.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

namespace port {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at `text[at]`, moving `at` past them.
bool ReadHex(const std::string& text, size_t& at, int digits, unsigned long long& value) {
    value = 0;
    for (int i = 0; i < digits; ++i, ++at) {
        if (at >= text.size())
            return false;
        const int d = HexDigit(text[at]);
        if (d < 0)
            return false;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return true;
}

bool Expect(const std::string& text, size_t& at, char c) {
    if (at >= text.size() || text[at] != c)
        return false;
    ++at;
    return true;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" into a GUID.
bool ParseGuid(const std::string& text, GUID& guid) {
    size_t at = 0;
    unsigned long long v = 0;
    if (!Expect(text, at, '{') || !ReadHex(text, at, 8, v))
        return false;
    guid.Data1 = static_cast<unsigned long>(v);
    if (!Expect(text, at, '-') || !ReadHex(text, at, 4, v))
        return false;
    guid.Data2 = static_cast<unsigned short>(v);
    if (!Expect(text, at, '-') || !ReadHex(text, at, 4, v))
        return false;
    guid.Data3 = static_cast<unsigned short>(v);
    if (!Expect(text, at, '-'))
        return false;
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && !Expect(text, at, '-'))
            return false;
        if (!ReadHex(text, at, 2, v))
            return false;
        guid.Data4[i] = static_cast<unsigned char>(v);
    }
    return Expect(text, at, '}') && at == text.size();
}

std::string Narrow(const wchar_t* text) {
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size - 1));
    return narrow;
}

class Win32DeviceHandle : public DeviceHandle {
public:
    explicit Win32DeviceHandle(HANDLE file) : file_(file) {}
    ~Win32DeviceHandle() override { ::CloseHandle(file_); }

    Outcome Read(uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& transferred) override {
        return Transfer(true, buffer, size, timeoutMs, transferred);
    }
    Outcome Write(const uint8_t* buffer, size_t size, uint32_t timeoutMs,
                  size_t& transferred) override {
        return Transfer(false, const_cast<uint8_t*>(buffer), size, timeoutMs, transferred);
    }
    // Cancels the I/O of every thread on this handle, not only the caller's.
    void Cancel() override { ::CancelIoEx(file_, nullptr); }

    Outcome Control(uint32_t code, const uint8_t* input, size_t inputSize, uint8_t* output,
                    size_t outputSize, uint32_t timeoutMs, size_t& returned) override;

private:
    Outcome Transfer(bool isRead, uint8_t* buffer, size_t size, uint32_t timeoutMs,
                     size_t& transferred);
    // After a cancel the system may still be finishing the request: the
    // buffer and the overlapped record must outlive it, so wait for it.
    void CancelAndDrain(OVERLAPPED& overlapped) {
        ::CancelIo(file_);
        DWORD ignored = 0;
        ::GetOverlappedResult(file_, &overlapped, &ignored, TRUE);
    }

    HANDLE file_;
};

DeviceHandle::Outcome Win32DeviceHandle::Transfer(bool isRead, uint8_t* buffer, size_t size,
                                                  uint32_t timeoutMs, size_t& transferred) {
    transferred = 0;
    if (size > std::numeric_limits<DWORD>::max())
        return Outcome::Failed;
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent)
        return Outcome::Failed;
    const DWORD count = static_cast<DWORD>(size);
    // With an overlapped record the byte count comes from GetOverlappedResult.
    const BOOL started = isRead ? ::ReadFile(file_, buffer, count, nullptr, &overlapped)
                                : ::WriteFile(file_, buffer, count, nullptr, &overlapped);
    Outcome outcome = Outcome::Failed;
    if (started || ::GetLastError() == ERROR_IO_PENDING) {
        const DWORD wait =
            ::WaitForSingleObject(overlapped.hEvent, timeoutMs ? timeoutMs : INFINITE);
        DWORD moved = 0;
        if (wait == WAIT_OBJECT_0) {
            if (::GetOverlappedResult(file_, &overlapped, &moved, TRUE)) {
                transferred = moved;
                outcome = Outcome::Done;
            }
        } else {
            CancelAndDrain(overlapped);
            outcome = wait == WAIT_TIMEOUT ? Outcome::TimedOut : Outcome::Failed;
        }
    }
    ::CloseHandle(overlapped.hEvent);
    return outcome;
}

DeviceHandle::Outcome Win32DeviceHandle::Control(uint32_t code, const uint8_t* input,
                                                 size_t inputSize, uint8_t* output,
                                                 size_t outputSize, uint32_t timeoutMs,
                                                 size_t& returned) {
    returned = 0;
    if (inputSize > std::numeric_limits<DWORD>::max() ||
        outputSize > std::numeric_limits<DWORD>::max())
        return Outcome::Failed;
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent)
        return Outcome::Failed;
    // The system copies the input in and the output back (buffered requests).
    const BOOL started =
        ::DeviceIoControl(file_, code, const_cast<uint8_t*>(input), static_cast<DWORD>(inputSize),
                          output, static_cast<DWORD>(outputSize), nullptr, &overlapped);
    Outcome outcome = Outcome::Failed;
    if (started || ::GetLastError() == ERROR_IO_PENDING) {
        const DWORD wait =
            ::WaitForSingleObject(overlapped.hEvent, timeoutMs ? timeoutMs : INFINITE);
        DWORD moved = 0;
        if (wait == WAIT_OBJECT_0) {
            if (::GetOverlappedResult(file_, &overlapped, &moved, TRUE)) {
                returned = moved;
                outcome = Outcome::Done;
            }
        } else {
            CancelAndDrain(overlapped);
            outcome = wait == WAIT_TIMEOUT ? Outcome::TimedOut : Outcome::Failed;
        }
    }
    ::CloseHandle(overlapped.hEvent);
    return outcome;
}

using RegisterNotificationFn = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK,
                                                  PHCMNOTIFICATION);
using UnregisterNotificationFn = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

class Win32DeviceIo : public DeviceIo {
public:
    ~Win32DeviceIo() override { StopNotifications(); }

    std::string Name() const override { return "win32"; }

    bool InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                         std::string& path) override;
    std::unique_ptr<DeviceHandle> Open(const std::string& path) override;
    void SetEventHandler(EventHandler handler) override;

private:
    static DWORD CALLBACK OnNotification(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                         PCM_NOTIFY_EVENT_DATA data, DWORD size);
    void StopNotifications();

    std::mutex handlerLock_;
    EventHandler handler_;
    HMODULE cfgmgr_ = nullptr;
    HCMNOTIFICATION notification_ = nullptr;
};

bool Win32DeviceIo::InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                                    std::string& path) {
    GUID guid;
    if (!ParseGuid(interfaceClass, guid))
        return false;
    HDEVINFO devices =
        ::SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    SP_DEVICE_INTERFACE_DATA member;
    std::memset(&member, 0, sizeof(member));
    member.cbSize = sizeof(member);
    if (::SetupDiEnumDeviceInterfaces(devices, nullptr, &guid, memberIndex, &member)) {
        DWORD required = 0;
        // The first call only asks for the size; it fails by design.
        ::SetupDiGetDeviceInterfaceDetailA(devices, &member, nullptr, 0, &required, nullptr);
        if (required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            // DWORD storage keeps the record's alignment.
            std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
            // The size of the fixed part as this build lays it out, not a
            // number from another word size.
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (::SetupDiGetDeviceInterfaceDetailA(devices, &member, detail, required, nullptr,
                                                   nullptr)) {
                path = detail->DevicePath;
                found = true;
            }
        }
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return found;
}

std::unique_ptr<DeviceHandle> Win32DeviceIo::Open(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<Win32DeviceHandle>(file);
}

DWORD CALLBACK Win32DeviceIo::OnNotification(HCMNOTIFICATION, PVOID context,
                                             CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA data,
                                             DWORD) {
    auto* self = static_cast<Win32DeviceIo*>(context);
    if (!data || data->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE)
        return ERROR_SUCCESS;
    DeviceEvent event;
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL)
        event = DeviceEvent::Arrival;
    else if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL)
        event = DeviceEvent::Removal;
    else
        return ERROR_SUCCESS;
    EventHandler handler;
    {
        std::lock_guard<std::mutex> guard(self->handlerLock_);
        handler = self->handler_;
    }
    if (handler)
        handler(event, Narrow(data->u.DeviceInterface.SymbolicLink));
    return ERROR_SUCCESS;
}

void Win32DeviceIo::StopNotifications() {
    // Unregistering waits for callbacks in progress, so it is never done
    // from inside one.
    if (notification_ && cfgmgr_) {
        auto unregister = reinterpret_cast<UnregisterNotificationFn>(
            reinterpret_cast<void*>(::GetProcAddress(cfgmgr_, "CM_Unregister_Notification")));
        if (unregister)
            unregister(notification_);
    }
    notification_ = nullptr;
    if (cfgmgr_)
        ::FreeLibrary(cfgmgr_);
    cfgmgr_ = nullptr;
}

void Win32DeviceIo::SetEventHandler(EventHandler handler) {
    {
        std::lock_guard<std::mutex> guard(handlerLock_);
        handler_ = std::move(handler);
        if (!handler_ || notification_)
            return;
    }
    // Notifications need the configuration manager of Windows 8 or later;
    // older systems simply deliver none.
    cfgmgr_ = ::LoadLibraryA("cfgmgr32.dll");
    if (!cfgmgr_)
        return;
    auto registerFn = reinterpret_cast<RegisterNotificationFn>(
        reinterpret_cast<void*>(::GetProcAddress(cfgmgr_, "CM_Register_Notification")));
    CM_NOTIFY_FILTER filter;
    std::memset(&filter, 0, sizeof(filter));
    filter.cbSize = sizeof(filter);
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    if (!registerFn || !ParseGuid(kWriterInterfaceClass, filter.u.DeviceInterface.ClassGuid) ||
        registerFn(&filter, this, &Win32DeviceIo::OnNotification, &notification_) != CR_SUCCESS) {
        notification_ = nullptr;
        ::FreeLibrary(cfgmgr_);
        cfgmgr_ = nullptr;
    }
}

} // namespace

std::unique_ptr<DeviceIo> CreateWin32DeviceIo(const std::string&) {
    return std::make_unique<Win32DeviceIo>();
}

} // namespace port
