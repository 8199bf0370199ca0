// The writer's controller firmware file: an 8192-byte boot block followed by
// the application, with the firmware version stored at file offset 0x6000.
#pragma once

#include "firmware/FirmwarePackets.h"
#include "image/File.h"

#include <cstdint>
#include <string>
#include <vector>

namespace firmware {

class C_C51BinFile : public image::C_BinFile {
public:
    C_C51BinFile() = default;
    ~C_C51BinFile() override = default;

    // Clears the cached pointers, sizes and sums; returns 1.
    int ResetResult() override;
    // Closes the file, drops the boot packets and the caches; returns 1.
    int Close() override;

    // True when the file's version is readable and its first four numbers are
    // the given ones.
    virtual bool IsSameVersion(const uint16_t* version);
    // The boot block as 128-byte transfer packets (2 x GetBootSize bytes),
    // built on first use; null when the file holds no whole boot block.
    virtual const uint8_t* GetBootPackets();
    // The file contents (read on first use); null when the file is missing.
    virtual const uint8_t* GetBootData();
    // The application, right after the boot block; null when the file holds
    // no whole boot block.
    virtual const uint8_t* GetAppData();
    virtual int GetBootSize();
    // File length less the boot block; 0 for a file shorter than the block.
    virtual int GetAppSize();
    // Byte sums of the boot block and the application; 0 for a missing file.
    virtual uint32_t GetBootCheckSum();
    virtual uint32_t GetAppCheckSum();
    // "%04d.%04d.%04d.%04d" of the file's version; zeros when unreadable.
    virtual std::string GetVersionString();
    // The six version numbers; 0 (numbers untouched) when the file is missing
    // or too short to hold them.
    virtual int GetVersion(uint16_t* version);

    // Whether the file exists and holds at least the whole boot block.
    bool HasBootBlock();
    // Why an existing file cannot be a firmware image, as a sentence naming
    // the check it fails (length within the writer's code memory, a boot
    // block that is not blank, a version that is not all 0x0000 or 0xFFFF);
    // empty when it passes them all, as every real firmware file does.
    std::string ImageProblem();

private:
    std::vector<uint8_t> bootPackets_;
    const uint8_t* bootData_ = nullptr;
    const uint8_t* appData_ = nullptr;
    int bootSize_ = 0;
    int appSize_ = 0;
    uint32_t bootCheckSum_ = 0;
    uint32_t appCheckSum_ = 0;
};

} // namespace firmware
