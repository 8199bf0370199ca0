// The running program's own file path. Everything the program reads and writes
// beside itself (settings, logs, profile, firmware image, read-back files) is
// found from this path.
#pragma once

#include <string>

namespace port {

// Full path of the program file, as the platform's module file name.
// Never blocks. Returns an empty string only when the platform cannot say.
// Order of precedence: an override set below, then the environment variable
// BURNWRIGHT_PROGRAM_PATH, then the platform's own answer.
std::string ModuleFileName();

// Makes ModuleFileName return `path` for the whole process, so that tests and
// tools can point "the program's folder" at a folder of their own. An empty
// path removes the override.
void SetModuleFileNameOverride(const std::string& path);

// Sets the override for one scope and restores the previous one after it.
class ScopedModuleFileName {
public:
    explicit ScopedModuleFileName(const std::string& path);
    ~ScopedModuleFileName();
    ScopedModuleFileName(const ScopedModuleFileName&) = delete;
    ScopedModuleFileName& operator=(const ScopedModuleFileName&) = delete;

private:
    std::string previous_;
};

// The folder of ModuleFileName, with its trailing separator.
std::string ModuleFolder();

} // namespace port
