// Private-profile (INI) files with the platform's semantics.
//
// Section and key names compare without regard to letter case; blanks around
// names and values are trimmed; one pair of matching quotes around a value is
// removed; when a key appears twice in a section the first one counts, and a
// section that appears twice is read as one. Every call goes to the file: there
// is no cache, so a value written is seen by the next read from anywhere.
//
// All calls block only on the file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace port {

// Reads from `fileName`:
// - `section` null: every section name, each followed by a NUL, the list ended
//   by a second NUL;
// - `key` null: every key name of `section`, in the same form;
// - otherwise the key's value, or `defaultValue` (trailing blanks removed) when
//   the key is missing.
// Copies into `buffer` (of `size` characters, always NUL-terminated when size
// is not 0) and returns the count of characters copied, without the final NUL.
// A value that does not fit is cut to size - 1 characters; a list that does not
// fit is cut and ended with two NULs, and size - 2 is returned.
uint32_t GetPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* buffer, uint32_t size, const char* fileName);

// Writes to `fileName`, creating it when it does not exist:
// - `key` null: removes `section` with all its keys;
// - `value` null: removes `key`;
// - otherwise sets `key` to `value`, in place when the key exists, else as a new
//   line at the end of its section, else in a new section at the end of the file.
// Every other line is kept as it was, and so is a leading UTF-8 byte-order
// mark. Writes from several threads and processes to one file take turns, so
// none is lost. The file is replaced atomically (written to a temporary file,
// flushed, then renamed), so a crash never leaves it half-written; a symlinked
// file is written at the link's target, and the file keeps its mode.
// Returns false, leaving the file untouched, when it cannot be written, when a
// section, key or value holds a line break (it would store lines of its own),
// and for a file marked read-only, which is never written.
bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* fileName);

// Sets several keys of one section in a single rewrite, so that a reader
// (another window, another process) sees all of them changed or none. Keys
// as WritePrivateProfileString sets them; none may be null.
bool WritePrivateProfileStrings(const char* section,
                                const std::vector<std::pair<std::string, std::string>>& entries,
                                const char* fileName);

// The longest settings file read: larger (or never-ending) files read as
// unreadable, so reads give the defaults and writes fail.
inline constexpr size_t kMaxProfileBytes = 4 * 1024 * 1024;

// False for text that holds a carriage return or a line feed; null is fine.
inline bool IsStorableProfileText(const char* text) {
    for (; text && *text; ++text)
        if (*text == '\r' || *text == '\n')
            return false;
    return true;
}

} // namespace port
