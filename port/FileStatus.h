// What the file system knows of one file. Blocks only on the file system.
#pragma once

#include <cstdint>
#include <string>

namespace port {

struct FileStatus {
    uint64_t size = 0;
    // Last modification, in nanoseconds since the epoch. Compare values for
    // equality only: the resolution is the file system's.
    int64_t modifiedNs = 0;
    bool isDirectory = false;
};

// Returns false, leaving `status` unchanged, when the path does not exist or
// cannot be examined.
bool GetFileStatus(const std::string& path, FileStatus& status);

} // namespace port
