#include "port/PrivateProfile.h"

#include <windows.h>

// The definitions below are port's own names, which the platform header
// otherwise renames to its ANSI entry points, so callers would not find them.
#undef GetPrivateProfileString
#undef WritePrivateProfileString

namespace port {

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* buffer, uint32_t size, const char* fileName) {
    return ::GetPrivateProfileStringA(section, key, defaultValue, buffer, size, fileName);
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* fileName) {
    if (!IsStorableProfileText(section) || !IsStorableProfileText(key) ||
        !IsStorableProfileText(value))
        return false;
    return ::WritePrivateProfileStringA(section, key, value, fileName) != FALSE;
}

} // namespace port
