#include "firmware/C51BinFile.h"

#include "core/Bytes.h"

#include <algorithm>
#include <filesystem>

namespace firmware {
int C_C51BinFile::ResetResult() {
    bootPackets_.clear();
    bootPackets_.shrink_to_fit();
    bootData_ = nullptr;
    appData_ = nullptr;
    bootSize_ = 0;
    appSize_ = 0;
    bootCheckSum_ = 0;
    appCheckSum_ = 0;
    return 1;
}

int C_C51BinFile::Close() {
    image::C_File::Close();
    ResetResult();
    return 1;
}

bool C_C51BinFile::HasBootBlock() {
    return Exists() && GetLength() >= GetBootSize() && GetBootData() != nullptr;
}

std::string C_C51BinFile::ImageProblem() {
    const std::string name = std::filesystem::path(GetFileName()).filename().string();
    const std::string head = name + " cannot be a firmware image: ";
    // The length first, so that a huge file is refused without reading it.
    const size_t length = static_cast<size_t>(GetLength());
    if (length < kMinFirmwareFileSize || length > kMaxFirmwareFileSize)
        return head + "it is " + std::to_string(length) + " bytes long, and a firmware image has " +
               std::to_string(kMinFirmwareFileSize) + " to " +
               std::to_string(kMaxFirmwareFileSize) + " bytes.";
    const uint8_t* boot = GetBootData();
    if (!boot)
        return head + "it cannot be read.";
    for (const uint8_t blank : {uint8_t{0xFF}, uint8_t{0x00}})
        if (std::all_of(boot, boot + kBootSize, [blank](uint8_t b) { return b == blank; }))
            return head + "its boot block (bytes 0 to " + std::to_string(kBootSize - 1) +
                   ") is blank, every byte " + (blank ? "0xFF." : "0x00.");
    Version version{};
    GetVersion(version.data());
    for (const uint16_t blank : {uint16_t{0x0000}, uint16_t{0xFFFF}})
        if (std::all_of(version.begin(), version.begin() + 4,
                        [blank](uint16_t n) { return n == blank; }))
            return head + "its version (bytes 0x6000 to 0x6007) is all " +
                   (blank ? "0xFFFF." : "0x0000.");
    return {};
}

const uint8_t* C_C51BinFile::GetBootData() {
    bootData_ = GetContents();
    return bootData_;
}

const uint8_t* C_C51BinFile::GetAppData() {
    if (!HasBootBlock())
        return nullptr;
    appData_ = GetBootData() + GetBootSize();
    return appData_;
}

int C_C51BinFile::GetBootSize() {
    bootSize_ = static_cast<int>(kBootSize);
    return bootSize_;
}

int C_C51BinFile::GetAppSize() {
    appSize_ = std::max(0, static_cast<int>(GetLength()) - GetBootSize());
    return appSize_;
}

uint32_t C_C51BinFile::GetBootCheckSum() {
    if (!Exists())
        return 0;
    if (bootCheckSum_ == 0) {
        const uint8_t* data = GetBootData();
        const size_t length = std::min<size_t>(GetLength(), GetBootSize());
        bootCheckSum_ = data ? core::ByteSum(data, length) : 0;
    }
    return bootCheckSum_;
}

uint32_t C_C51BinFile::GetAppCheckSum() {
    if (!Exists())
        return 0;
    if (appCheckSum_ == 0) {
        const uint8_t* data = GetAppData();
        appCheckSum_ = data ? core::ByteSum(data, static_cast<size_t>(GetAppSize())) : 0;
    }
    return appCheckSum_;
}

const uint8_t* C_C51BinFile::GetBootPackets() {
    if (bootPackets_.empty()) {
        if (!HasBootBlock())
            return nullptr;
        bootPackets_ = BuildBootPackets(GetBootData(), static_cast<size_t>(GetBootSize()));
    }
    return bootPackets_.data();
}

int C_C51BinFile::GetVersion(uint16_t* version) {
    if (!Exists())
        return 0;
    Version read{};
    // A file too short to hold the version is not read past its end.
    if (!ReadFileVersion(GetContents(), static_cast<size_t>(GetLength()), read))
        return 0;
    std::copy(read.begin(), read.end(), version);
    return 1;
}

bool C_C51BinFile::IsSameVersion(const uint16_t* version) {
    Version mine{};
    if (!GetVersion(mine.data()))
        return false;
    return std::equal(mine.begin(), mine.begin() + 4, version);
}

std::string C_C51BinFile::GetVersionString() {
    Version version{};
    GetVersion(version.data());
    return FormatVersion(version);
}

} // namespace firmware
