#include "port/FileStatus.h"

#include <windows.h>

namespace port {

bool GetFileStatus(const std::string& path, FileStatus& status) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    status.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
    // FILETIME counts 100 ns ticks from 1601; move it to the Unix epoch.
    constexpr uint64_t kEpochDelta = 116444736000000000ULL;
    status.modifiedNs = static_cast<int64_t>(ticks - kEpochDelta) * 100;
    status.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

} // namespace port
