#include "port/SystemVersion.h"

#include <windows.h>

namespace port {

uint32_t SystemMajorVersion() {
    // The kernel's own report: unlike GetVersionEx it is not capped by the
    // program's manifest.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    if (ntdll) {
        auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
        OSVERSIONINFOW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        if (rtlGetVersion && rtlGetVersion(&info) == 0)
            return info.dwMajorVersion;
    }
    return 0;
}

} // namespace port
