#include <string>
#include <windows.h>

namespace port {

std::string PlatformModuleFileName() {
    char buffer[1024];
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer)
        return {};
    return std::string(buffer, n);
}

} // namespace port
