#include <string>
#include <vector>
#include <windows.h>

namespace port {

std::string PlatformModuleFileName() {
    // A path that fills the buffer may have been cut: grow until it fits, up to
    // the longest path the system knows.
    for (DWORD size = 1024; size <= 32768; size *= 2) {
        std::vector<char> buffer(size);
        const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), size);
        if (n == 0)
            return {};
        if (n < size)
            return std::string(buffer.data(), n);
    }
    return {};
}

} // namespace port
