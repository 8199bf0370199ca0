#include "port/DurableFile.h"

#include <windows.h>

#include <algorithm>

namespace port {
namespace {

std::string LastError() {
    char text[256] = {};
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     ::GetLastError(), 0, text, sizeof text, nullptr);
    return text;
}

} // namespace

bool WriteFileDurably(const std::string& path, std::string_view bytes, std::string& error) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = LastError();
        return false;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        const DWORD chunk = DWORD(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        ok = ::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = ok && ::FlushFileBuffers(file);
    if (!ok)
        error = LastError();
    ::CloseHandle(file);
    return ok;
}

} // namespace port
