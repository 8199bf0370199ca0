// The operating system's version, for the few places that behave differently
// on older systems.
#pragma once

#include <cstdint>

namespace port {

// The major version number the system reports (on POSIX systems, the
// kernel's). 0 when the system cannot say. Never blocks.
uint32_t SystemMajorVersion();

} // namespace port
