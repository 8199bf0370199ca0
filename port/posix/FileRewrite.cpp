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

bool WriteAll(int fd, std::string_view text) {
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

// Device, file number, size and modification time: a rewrite puts a new file
// in the old one's place, so no two versions of a file share all four.
std::string IdentityOf(const struct stat& status) {
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
           std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
           std::to_string(status.st_mtim.tv_nsec);
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

// A fresh file beside `target` with the mode and owner of `like`, made when
// the first bytes come; Commit flushes it and renames it over `target`,
// otherwise it is removed.
class Temporary : public RewriteOutput {
public:
    Temporary(const std::string& target, const struct stat& like) : target_(target), like_(like) {}
    ~Temporary() override {
        out_.Reset();
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    bool Write(std::string_view bytes) override {
        failed_ = failed_ || !Open() || !WriteAll(out_.Get(), bytes);
        return !failed_;
    }
    bool Commit(std::string* identity) {
        struct stat status;
        const bool written =
            !failed_ && Open() && ::fsync(out_.Get()) == 0 && ::fstat(out_.Get(), &status) == 0;
        out_.Reset();
        if (!written || ::rename(path_.c_str(), target_.c_str()) != 0)
            return false;
        path_.clear();
        if (identity)
            *identity = IdentityOf(status);
        // Make the rename itself durable; the data is already safe if this fails.
        Descriptor folder(::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.Get() >= 0)
            ::fsync(folder.Get());
        return true;
    }

private:
    bool Open() {
        if (out_.Get() >= 0)
            return true;
        std::string pattern = target_ + ".tmp-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        out_.Reset(::mkostemp(name.data(), O_CLOEXEC));
        if (out_.Get() < 0)
            return false;
        path_ = name.data();
        if (like_.st_uid != ::geteuid() || like_.st_gid != ::getegid())
            (void)!::fchown(out_.Get(), like_.st_uid, like_.st_gid); // kept only where allowed
        return ::fchmod(out_.Get(), like_.st_mode & 07777) == 0;
    }

    std::string target_;
    struct stat like_;
    std::string path_; // while it exists
    Descriptor out_;
    bool failed_ = false;
};

// The locked file, read at any offset.
class LockedInput : public RewriteInput {
public:
    LockedInput(int fd, uint64_t size, std::string identity)
        : fd_(fd), size_(size), identity_(std::move(identity)) {}
    uint64_t Size() const override { return size_; }
    std::string Identity() const override { return identity_; }
    bool ReadAt(uint64_t offset, char* data, size_t length) override {
        while (length > 0) {
            const ssize_t n = ::pread(fd_, data, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            offset += static_cast<uint64_t>(n);
            length -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int fd_;
    uint64_t size_;
    std::string identity_;
};

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

// Takes the locks on the file `path` names and calls `edit` with it, open at
// its first byte; stores what `edit` wrote to `out` when it says Write.
bool LockedRewrite(const std::string& path,
                   const std::function<Edit(int fd, const struct stat& status, bool created,
                                            Temporary& out)>& edit,
                   std::string* written) {
    std::lock_guard<std::mutex> guard(rewriteLock);
    const std::string target = FollowLinks(path);
    bool created = false;
    Descriptor file(LockCurrentFile(target, created));
    if (file.Get() < 0)
        return false;
    struct stat status;
    bool ok = ::fstat(file.Get(), &status) == 0 && (status.st_mode & S_IWUSR) != 0;
    if (ok) {
        Temporary out(target, status);
        const Edit what = edit(file.Get(), status, created, out);
        if (what == Edit::Write)
            ok = out.Commit(written);
        else if (what == Edit::Failed)
            ok = false;
        else if (created)
            ::unlink(target.c_str()); // nothing to store: leave no empty file behind
    }
    if (!ok && created)
        ::unlink(target.c_str());
    return ok; // the lock goes with the descriptor
}

} // namespace

bool RewriteExclusively(const std::string& path, const std::function<Edit(std::string&)>& edit,
                        size_t maxBytes) {
    return LockedRewrite(
        path,
        [&](int fd, const struct stat&, bool, Temporary& out) {
            std::string text;
            if (!ReadAll(fd, text, maxBytes))
                return Edit::Failed;
            const Edit what = edit(text);
            if (what == Edit::Write)
                out.Write(text);
            return what;
        },
        nullptr);
}

bool RewriteExclusivelyInPieces(const std::string& path,
                                const std::function<Edit(RewriteInput&, RewriteOutput&)>& edit,
                                std::string* written) {
    return LockedRewrite(
        path,
        [&](int fd, const struct stat& status, bool created, Temporary& out) {
            LockedInput in(fd, created ? 0 : static_cast<uint64_t>(status.st_size),
                           created ? std::string() : IdentityOf(status));
            return edit(in, out);
        },
        written);
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
