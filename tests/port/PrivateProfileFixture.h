// Shared setup of the settings-file tests: one settings file in a fresh
// program folder, read and written through the port functions.
#pragma once

#include "port/PrivateProfile.h"
#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

#include <string>

namespace porttest {

class PrivateProfile : public ::testing::Test {
protected:
    std::string Get(const char* section, const char* key, const char* def = "") {
        char buffer[1024];
        const uint32_t n =
            port::GetPrivateProfileString(section, key, def, buffer, sizeof buffer, path.c_str());
        return std::string(buffer, n);
    }
    bool Put(const char* section, const char* key, const char* value) {
        return port::WritePrivateProfileString(section, key, value, path.c_str());
    }
    std::string Contents() { return testsupport::ProgramFolder::Read(path); }

    testsupport::ProgramFolder folder;
    std::string path = folder.File("settings.ini");
};

} // namespace porttest
