// The writer firmware updater: asks the writer for its firmware version and
// sends the application and then the boot block of the firmware file.
//
// Every operation that talks to the writer blocks its caller for the
// exchange; Update also waits the step delay on the updater's clock.
#pragma once

#include "core/Result.h"
#include "firmware/C51BinFile.h"
#include "firmware/FirmwarePackets.h"
#include "port/Clock.h"
#include "usb/IUSBInfo.h"

#include <cstdint>
#include <string>

namespace firmware {

constexpr const char* kFirmwareFileName = "OTP_Controller_C51FW.bin";
constexpr const char* kUpdateAppFailed = "Update App Failed";
constexpr const char* kUpdateBootFailed = "Update Boot Failed";
constexpr int kDefaultStepDelayMs = 1500;
constexpr int kBootTries = 3;

class C_FWUpdate : public core::I_StandardFace {
public:
    explicit C_FWUpdate(usb::I_USBInfo& link, port::Clock& clock = port::SystemClock(),
                        core::C_Result& result = core::SharedResult());
    ~C_FWUpdate() override = default;
    C_FWUpdate(const C_FWUpdate&) = delete;
    C_FWUpdate& operator=(const C_FWUpdate&) = delete;

    // Selects the firmware-update body type on the link, step delay 1500 ms,
    // writer values 0; returns 1.
    virtual int Init();
    // UpdateApp, the step delay, UpdateBoot; 0 at the first failure.
    virtual int Update();
    // The writer's one-byte mode answer in lower-case hexadecimal; 0 when an
    // exchange failed.
    virtual int GetModeText(std::string& text);
    // 0 with "Update App Failed" when the application was not taken.
    virtual int UpdateApp();
    // Up to three tries of the boot block; 0 with "Update Boot Failed".
    virtual int UpdateBoot();
    virtual int IsLinkReady();
    virtual std::string GetMessage();
    virtual usb::I_USBInfo* GetLink();
    virtual C_C51BinFile& GetFirmware();
    virtual int GetStepDelay();
    virtual void SetStepDelay(int ms);
    // Version request and reply; 0 (version untouched) when either transfer
    // fails.
    virtual int GetWriterVersion(uint16_t* version);
    virtual int GetWriterVersionString(std::string& text);
    virtual uint32_t GetWriterValue();
    virtual uint32_t GetWriterAppCheckSum();
    // 1 before the writer ever reported an application checksum; else whether
    // it equals the file's.
    virtual int IsAppCurrent();
    virtual int CheckLinkDeviceType();
    // The fifth and sixth version numbers of a fresh version reply.
    virtual int GetBootReply(uint16_t& first, uint16_t& second);
    virtual int SendBoot();
    virtual int SendApp();
    virtual void ReportError(const char* message);

    // Looks for any writer of a known kind; returns its device type byte (0
    // when none) and, when asked, the link's message.
    int DetectWriterType(std::string* message = nullptr);

private:
    int WritePacket(const Packet& packet);

    usb::I_USBInfo* link_;
    core::C_Result* result_;
    port::Clock& clock_;
    C_C51BinFile firmware_;
    int stepDelay_ = kDefaultStepDelayMs;
    uint32_t writerValue_ = 0;
    uint32_t writerAppCheckSum_ = 0;
};

} // namespace firmware
