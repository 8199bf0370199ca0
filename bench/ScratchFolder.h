// The benchmarks' scratch folder: one per benchmark program, under the
// system's temporary folder, made on first use. The path ends with '/', so a
// file name can follow it directly.
#pragma once

#include <filesystem>
#include <string>

namespace bench {

inline std::string ScratchFolder(const std::string& name) {
    const auto path = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(path);
    return path.string() + "/";
}

} // namespace bench
