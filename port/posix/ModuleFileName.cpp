#include <string>
#include <unistd.h>
#include <vector>

namespace port {

std::string PlatformModuleFileName() {
    // The link's length is not known in advance: grow until the whole path fits.
    for (size_t size = 1024; size <= (size_t{1} << 20); size *= 4) {
        std::vector<char> buffer(size);
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n <= 0)
            return {};
        if (static_cast<size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(n));
    }
    return {};
}

} // namespace port
