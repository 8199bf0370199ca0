// A named mutex as a lock file held with flock: the lock belongs to the open
// file, so a second open of the same file, in this process or another, cannot
// take it, and the system drops it when the holder's process dies.
#include "port/NamedMutex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace port {

struct NamedMutex::Handle {
    int fd = -1;
};

namespace {

constexpr mode_t kFolderMode = 01777;
constexpr mode_t kLockFileMode = 0666;

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

std::string SystemText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Opens the lock folder as a directory that no other user controls, creating
// it (mode 1777) when missing. -1 with `error` set when it is unsafe or unusable.
int OpenLockFolder(const std::string& folder, std::string& error) {
    const bool created = ::mkdir(folder.c_str(), kFolderMode) == 0;
    if (!created && errno != EEXIST) {
        error = SystemText("Cannot create the claim folder " + folder);
        return -1;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ELOOP || errno == ENOTDIR
                    ? "The claim folder " + folder + " is a symbolic link or no folder; refused"
                    : SystemText("Cannot open the claim folder " + folder);
        return -1;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        error = SystemText("Cannot examine the claim folder " + folder);
        ::close(fd);
        return -1;
    }
    const uid_t me = ::geteuid();
    if (status.st_uid != 0 && status.st_uid != me) {
        error = "The claim folder " + folder + " belongs to another user (uid " +
                std::to_string(status.st_uid) + "); refused";
        ::close(fd);
        return -1;
    }
    if (created) {
        ::fchmod(fd, kFolderMode); // mkdir applied the umask
    } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) {
        error = "The claim folder " + folder +
                " lets other users remove claim files (writable without the sticky bit); refused";
        ::close(fd);
        return -1;
    }
    return fd;
}

// Opens (or creates) one lock file in the folder without following a link.
// O_CREAT is kept for a file that is not there yet: the system may refuse it
// on another user's file in a sticky folder, where a plain open works.
int OpenLockFile(int folder, const std::string& name, std::string& error) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::openat(folder, name.c_str(),
                          O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          kLockFileMode);
            if (fd < 0 && errno == EEXIST)
                continue; // another process made it first
            if (fd >= 0)
                ::fchmod(fd, kLockFileMode); // whatever the umask: any user may claim later
        }
        if (fd < 0) {
            error = errno == ELOOP ? "The claim file " + name + " is a symbolic link; refused"
                                   : SystemText("Cannot open the claim file " + name);
            return -1;
        }
        struct stat status;
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            error = "The claim file " + name + " is not a plain file; refused";
            ::close(fd);
            return -1;
        }
        return fd;
    }
    error = "The claim file " + name + " keeps changing; refused";
    return -1;
}

} // namespace

std::string DefaultLockFolder() {
    if (const char* folder = std::getenv("BURNWRIGHT_LOCK_DIR"); folder && *folder)
        return folder;
    struct stat status;
    if (::stat("/run/lock", &status) == 0 && S_ISDIR(status.st_mode))
        return "/run/lock";
    return "/tmp";
}

NamedMutex::NamedMutex() = default;
NamedMutex::NamedMutex(const std::string& lockFolder) : lockFolder_(lockFolder) {}
NamedMutex::~NamedMutex() {
    Close();
}

NamedMutex::Outcome NamedMutex::Create(const std::string& name) {
    Close();
    error_.clear();
    const int folder =
        OpenLockFolder(lockFolder_.empty() ? DefaultLockFolder() : lockFolder_, error_);
    if (folder < 0)
        return Outcome::Failed;
    const int fd = OpenLockFile(folder, LockFileName(name), error_);
    ::close(folder);
    if (fd < 0)
        return Outcome::Failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        if (!held)
            error_ = SystemText("Cannot lock the claim file " + LockFileName(name));
        ::close(fd);
        return held ? Outcome::AlreadyExists : Outcome::Failed;
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
