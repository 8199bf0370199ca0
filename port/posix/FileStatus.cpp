#include "port/FileStatus.h"

#include <sys/stat.h>

namespace port {

bool GetFileStatus(const std::string& path, FileStatus& status) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    status.size = static_cast<uint64_t>(st.st_size);
    status.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    status.isDirectory = S_ISDIR(st.st_mode);
    return true;
}

} // namespace port
