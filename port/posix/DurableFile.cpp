#include "port/DurableFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace port {

bool WriteFileDurably(const std::string& path, std::string_view bytes, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += size_t(n);
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok)
        error = std::strerror(errno ? errno : EIO);
    if (::close(fd) != 0 && ok) {
        error = std::strerror(errno);
        ok = false;
    }
    return ok;
}

} // namespace port
