// Shared pieces of the image fuzz targets.
#pragma once

#include "core/MessageHost.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fuzzimage {

// Answers every box with OK and shows nothing.
class SilentHost : public core::I_MessageBoxHost {
public:
    int ShowMessageBox(const std::string&, const std::string&, unsigned) override {
        return core::kIdOk;
    }
};

inline void Silence() {
    static SilentHost host;
    core::SetMessageBoxHost(&host);
}

// A file of this process for the input, rewritten on every run and removed
// when the fuzzer exits.
inline std::string WriteInput(const uint8_t* data, size_t size, const char* extension) {
    struct InputFile {
        std::string path;
        ~InputFile() {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    };
    static const InputFile file{(std::filesystem::temp_directory_path() /
                                 ("burnwright-fuzz-" + std::to_string(::getpid()) + extension))
                                    .string()};
    const std::string& path = file.path;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

} // namespace fuzzimage
