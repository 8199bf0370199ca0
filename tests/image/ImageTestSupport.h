// Helpers for the image tests: byte patterns and image files in the test's
// program folder.
#pragma once

#include "image/ChipBinFiles.h"
#include "tests/support/ProgramFolder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace imagetest {

using Bytes = std::vector<uint8_t>;

inline std::string AsString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Bytes that differ from their neighbours and repeat only every 251 bytes.
inline Bytes Pattern(size_t size, uint8_t seed = 1) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
    return bytes;
}

// Little-endian 16-bit words.
inline Bytes Words(const std::vector<uint16_t>& words) {
    Bytes bytes;
    for (uint16_t w : words) {
        bytes.push_back(static_cast<uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
    }
    return bytes;
}

inline Bytes Slice(const uint8_t* data, size_t from, size_t count) {
    return Bytes(data + from, data + from + count);
}

// A fixture with a program folder and a recording message host, and images
// opened on files written into the folder.
class ImageTest : public testsupport::ProgramFolderTest {
protected:
    std::string WriteFile(const Bytes& bytes, const std::string& name = "prog.bin") {
        const std::string path = folder.File(name);
        testsupport::ProgramFolder::Write(path, AsString(bytes));
        return path;
    }
    std::unique_ptr<image::C_OTPBinFile> Open(int index, const Bytes& bytes) {
        auto image = image::CreateBodyImage(index);
        EXPECT_TRUE(image);
        if (image) {
            image->SetResultObject(result);
            EXPECT_EQ(image->SetFileName(WriteFile(bytes)), 1);
        }
        return image;
    }
    core::C_Result result;
};

} // namespace imagetest
