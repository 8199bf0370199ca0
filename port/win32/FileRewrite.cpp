#include "port/FileRewrite.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwctype>

namespace port {
namespace {

// The system's wide form of a path given in the program's code page. A program
// folder deeper than the classic path limit still keeps its files beside
// itself: an absolute path that long is handed over in extended form.
std::wstring SystemPath(const std::string& path) {
    const int n =
        ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), n);
    const bool absolute =
        wide.size() > 2 && wide[1] == L':' && (wide[2] == L'\\' || wide[2] == L'/');
    if (wide.size() < MAX_PATH - 16 || !absolute)
        return wide;
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return L"\\\\?\\" + wide;
}

// Closes a handle when it leaves scope.
class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~Handle() {
        if (h_)
            ::CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void Reset(HANDLE h = nullptr) {
        if (h_)
            ::CloseHandle(h_);
        h_ = h == INVALID_HANDLE_VALUE ? nullptr : h;
    }

private:
    HANDLE h_;
};

// Every thread and process that rewrites one file takes the mutex named after
// the file's full path (letter case does not count, as on the file system).
class PathLock {
public:
    explicit PathLock(const std::wstring& path) {
        std::wstring full(32768, L'\0');
        const DWORD n =
            ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        full.resize(n > 0 && n < full.size() ? n : 0);
        if (full.empty())
            full = path;
        uint64_t hash = 14695981039346656037ull;
        for (wchar_t c : full) {
            hash ^= static_cast<uint64_t>(std::towlower(c));
            hash *= 1099511628211ull;
        }
        char name[64];
        std::snprintf(name, sizeof name, "burnwright-file-%016llx",
                      static_cast<unsigned long long>(hash));
        mutex_ = ::CreateMutexA(nullptr, FALSE, name);
        if (mutex_) {
            const DWORD waited = ::WaitForSingleObject(mutex_, INFINITE);
            // A holder that died left the file as it was: the edit can go on.
            held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        }
    }
    ~PathLock() {
        if (held_)
            ::ReleaseMutex(mutex_);
        if (mutex_)
            ::CloseHandle(mutex_);
    }
    PathLock(const PathLock&) = delete;
    PathLock& operator=(const PathLock&) = delete;
    bool Held() const { return held_; }

private:
    HANDLE mutex_ = nullptr;
    bool held_ = false;
};

// Opened with every sharing right, so a rewrite can replace the file while
// someone reads it.
HANDLE OpenShared(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool ReadAll(HANDLE file, std::string& text, size_t maxBytes) {
    text.clear();
    char chunk[8192];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(file, chunk, sizeof chunk, &n, nullptr))
            return false;
        if (n == 0)
            return true;
        if (n > maxBytes - text.size()) {
            text.clear();
            return false;
        }
        text.append(chunk, n);
    }
}

bool WriteAll(HANDLE file, std::string_view text) {
    size_t done = 0;
    while (done < text.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

// Volume, file index, size and last write time: a rewrite puts a new file in
// the old one's place, so no two versions of a file share all four.
std::string IdentityOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file, &info))
        return std::string();
    char text[128];
    std::snprintf(text, sizeof text, "%lx:%lx%08lx:%lx%08lx:%lx%08lx", info.dwVolumeSerialNumber,
                  info.nFileIndexHigh, info.nFileIndexLow, info.nFileSizeHigh, info.nFileSizeLow,
                  info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    return text;
}

// A temporary file beside `path`, made when the first bytes come; Commit
// flushes it and moves it over `path`, otherwise it is deleted.
class Temporary : public RewriteOutput {
public:
    explicit Temporary(const std::wstring& path) : path_(path) {}
    ~Temporary() override {
        if (file_ != nullptr) {
            ::CloseHandle(file_);
            ::DeleteFileW(temporary_.c_str());
        }
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    bool Write(std::string_view bytes) override {
        failed_ = failed_ || !Open() || !WriteAll(file_, bytes);
        return !failed_;
    }
    bool Commit(std::string* identity) {
        const bool written = !failed_ && Open() && ::FlushFileBuffers(file_) != FALSE;
        const std::string made = IdentityOf(file_);
        ::CloseHandle(file_);
        file_ = nullptr;
        if (written && ::MoveFileExW(temporary_.c_str(), path_.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            if (identity)
                *identity = made;
            return true;
        }
        ::DeleteFileW(temporary_.c_str());
        return false;
    }

private:
    bool Open() {
        if (file_ != nullptr)
            return true;
        static std::atomic<unsigned> counter{0};
        temporary_ = path_ + L".~" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                     std::to_wstring(++counter);
        const HANDLE file = ::CreateFileW(temporary_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        file_ = file == INVALID_HANDLE_VALUE ? nullptr : file;
        return file_ != nullptr;
    }

    std::wstring path_;
    std::wstring temporary_;
    HANDLE file_ = nullptr;
    bool failed_ = false;
};

// The old file, read at any offset; empty when there was none.
class SharedInput : public RewriteInput {
public:
    SharedInput(HANDLE file, uint64_t size)
        : file_(file), size_(size), identity_(IdentityOf(file)) {}
    uint64_t Size() const override { return size_; }
    std::string Identity() const override { return identity_; }
    bool ReadAt(uint64_t offset, char* data, size_t length) override {
        while (length > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
            DWORD n = 0;
            if (!::ReadFile(file_, data, chunk, &n, &at) || n == 0)
                return false;
            data += n;
            offset += n;
            length -= n;
        }
        return true;
    }

private:
    HANDLE file_;
    uint64_t size_;
    std::string identity_;
};

} // namespace

bool RewriteExclusively(const std::string& path, const std::function<Edit(std::string&)>& edit,
                        size_t maxBytes) {
    return RewriteExclusivelyInPieces(path, [&](RewriteInput& in, RewriteOutput& out) {
        if (in.Size() > maxBytes)
            return Edit::Failed;
        std::string text(static_cast<size_t>(in.Size()), '\0');
        if (!in.ReadAt(0, text.data(), text.size()))
            return Edit::Failed;
        const Edit what = edit(text);
        if (what == Edit::Write)
            out.Write(text);
        return what;
    });
}

bool RewriteExclusivelyInPieces(const std::string& path,
                                const std::function<Edit(RewriteInput&, RewriteOutput&)>& edit,
                                std::string* written) {
    const std::wstring target = SystemPath(path);
    PathLock lock(target);
    if (!lock.Held())
        return false;
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    Handle file;
    uint64_t size = 0;
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        // A file marked read-only is never written, whatever rights the process holds.
        if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
            return false;
        file.Reset(OpenShared(target));
        LARGE_INTEGER length{};
        if (!file || !::GetFileSizeEx(file.Get(), &length))
            return false;
        size = static_cast<uint64_t>(length.QuadPart);
    } else if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
        return false; // the folder is missing or cannot be seen
    }
    SharedInput in(file.Get(), size);
    Temporary out(target);
    const Edit what = edit(in, out);
    if (what == Edit::Unchanged)
        return true;
    if (what == Edit::Failed)
        return false;
    // The old file is let go before the new one takes its name.
    file.Reset();
    return out.Commit(written);
}

bool ReadSharedFile(const std::string& path, std::string& text, size_t maxBytes) {
    text.clear();
    Handle file(OpenShared(SystemPath(path)));
    if (!file || !ReadAll(file.Get(), text, maxBytes)) {
        text.clear();
        return false;
    }
    return true;
}

} // namespace port
