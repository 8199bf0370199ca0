#include "port/FileRewrite.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace port {
namespace {

// Threads of one process take turns before they contend for the file lock.
std::mutex rewriteLock;

constexpr int kMaxLinks = 40;

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// Closes a descriptor when it leaves scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

bool ReadAll(int fd, std::string& text, size_t maxBytes) {
    text.clear();
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (static_cast<size_t>(n) > maxBytes - text.size()) {
            text.clear();
            return false;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Opens and locks the file `target` names now, creating it when missing.
// `created` tells whether this call made it.
int LockCurrentFile(const std::string& target, bool& created) {
    for (;;) {
        created = false;
        int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(target.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno == EEXIST)
                continue; // another writer made it first
            created = fd >= 0;
        }
        if (fd < 0)
            return -1;
        int locked;
        do {
            locked = ::flock(fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        struct stat held, named;
        if (locked != 0 || ::fstat(fd, &held) != 0) {
            ::close(fd);
            return -1;
        }
        if (::stat(target.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino)
            return fd;
        ::close(fd); // replaced or removed while this one waited: lock the new file
    }
}

// Writes `text` to a fresh file beside `target` with the mode and owner of
// `like`, flushes it and renames it over `target`.
bool Replace(const std::string& target, const struct stat& like, const std::string& text) {
    std::string temporary = target + ".tmp-XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    Descriptor out(::mkostemp(name.data(), O_CLOEXEC));
    if (out.Get() < 0)
        return false;
    temporary = name.data();
    if (like.st_uid != ::geteuid() || like.st_gid != ::getegid())
        (void)!::fchown(out.Get(), like.st_uid, like.st_gid); // kept only where allowed
    const bool written = ::fchmod(out.Get(), like.st_mode & 07777) == 0 &&
                         WriteAll(out.Get(), text) && ::fsync(out.Get()) == 0;
    out.Reset();
    if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable; the data is already safe if this fails.
    Descriptor folder(::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0)
        ::fsync(folder.Get());
    return true;
}

// The file a path names once symlinks are followed; `path` itself when it is
// no link. A chain longer than the system allows yields the last link reached.
std::string FollowLinks(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat status;
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return current;
        std::vector<char> buffer(static_cast<size_t>(status.st_size > 0 ? status.st_size : 255) +
                                 1);
        const ssize_t n = ::readlink(current.c_str(), buffer.data(), buffer.size());
        if (n < 0 || static_cast<size_t>(n) >= buffer.size())
            return current; // changed while being read; the open below follows it anyway
        std::string next(buffer.data(), static_cast<size_t>(n));
        if (next.empty())
            return current;
        if (next.front() != '/') {
            const auto slash = current.find_last_of('/');
            if (slash != std::string::npos)
                next = current.substr(0, slash + 1) + next;
        }
        current = next;
    }
    return current;
}

} // namespace

bool RewriteExclusively(const std::string& path, const std::function<Edit(std::string&)>& edit,
                        size_t maxBytes) {
    std::lock_guard<std::mutex> guard(rewriteLock);
    const std::string target = FollowLinks(path);
    bool created = false;
    Descriptor file(LockCurrentFile(target, created));
    if (file.Get() < 0)
        return false;
    struct stat status;
    std::string text;
    bool ok = ::fstat(file.Get(), &status) == 0 && (status.st_mode & S_IWUSR) != 0 &&
              ReadAll(file.Get(), text, maxBytes);
    if (ok) {
        const Edit what = edit(text);
        if (what == Edit::Write)
            ok = Replace(target, status, text);
        else if (created)
            ::unlink(target.c_str()); // nothing to store: leave no empty file behind
    }
    if (!ok && created)
        ::unlink(target.c_str());
    return ok; // the lock goes with the descriptor
}

bool ReadSharedFile(const std::string& path, std::string& text, size_t maxBytes) {
    text.clear();
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0 || !ReadAll(file.Get(), text, maxBytes)) {
        text.clear();
        return false;
    }
    return true;
}

} // namespace port
