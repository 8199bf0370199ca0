// What every Burnwright program answers to --help and --version before it
// does anything else: a program asked for its usage must not open a window,
// touch a writer or write a file.
#pragma once

#include <cstdio>
#include <cstring>

namespace core {

inline constexpr const char* kBurnwrightVersion = "1.0.0";

// Prints `usage` for --help (or -h) and the version for --version when
// either is the first argument; true when it answered, and the program then
// ends with status 0.
inline bool AnswerHelpOrVersion(int argc, char** argv, const char* program, const char* usage) {
    if (argc < 2)
        return false;
    const char* first = argv[1];
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        std::fputs(usage, stdout);
        return true;
    }
    if (std::strcmp(first, "--version") == 0) {
        std::printf("%s %s (Burnwright %s)\n", program, kBurnwrightVersion, kBurnwrightVersion);
        return true;
    }
    return false;
}

} // namespace core
