// A named mutex as a lock file held with flock: the lock belongs to the open
// file, so a second open of the same file, in this process or another, cannot
// take it, and the system drops it when the holder's process dies.
#include "port/NamedMutex.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace port {

struct NamedMutex::Handle {
    int fd = -1;
};

namespace {

std::string LockFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return runtime;
    return "/tmp";
}

// Names may hold any character; keep the lock file name portable and unique.
std::string LockFileName(const std::string& name) {
    std::string file = "burnwright-mutex-";
    static const char hex[] = "0123456789abcdef";
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.') {
            file += static_cast<char>(c);
        } else {
            file += '_';
            file += hex[c >> 4];
            file += hex[c & 15];
        }
    }
    if (file.size() > 240)
        file.resize(240);
    return file + ".lock";
}

} // namespace

NamedMutex::NamedMutex() = default;
NamedMutex::~NamedMutex() {
    Close();
}

NamedMutex::Outcome NamedMutex::Create(const std::string& name) {
    Close();
    const std::string path = LockFolder() + "/" + LockFileName(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return Outcome::Failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return errno == EWOULDBLOCK ? Outcome::AlreadyExists : Outcome::Failed;
    }
    handle_ = std::make_unique<Handle>();
    handle_->fd = fd;
    return Outcome::Created;
}

void NamedMutex::Close() {
    if (handle_) {
        ::close(handle_->fd); // closing drops the lock; the file stays for the next holder
        handle_.reset();
    }
}

bool NamedMutex::IsHeld() const {
    return handle_ != nullptr;
}

} // namespace port
