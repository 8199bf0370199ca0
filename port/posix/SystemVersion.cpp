#include "port/SystemVersion.h"

#include <cstdlib>
#include <sys/utsname.h>

namespace port {

uint32_t SystemMajorVersion() {
    utsname name{};
    if (::uname(&name) != 0)
        return 0;
    return static_cast<uint32_t>(std::strtoul(name.release, nullptr, 10));
}

} // namespace port
