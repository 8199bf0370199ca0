#include "port/PrivateProfile.h"

#include <windows.h>

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
