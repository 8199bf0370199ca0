#include "firmware/FWUpdate.h"

#include "core/Errors.h"

#include <algorithm>
#include <cstdio>

namespace firmware {

C_FWUpdate::C_FWUpdate(usb::I_USBInfo& link, port::Clock& clock, core::C_Result& result)
    : link_(&link), result_(&result), clock_(clock) {
    Init();
}

int C_FWUpdate::Init() {
    link_->SetBodyType(usb::kIceBodyFirmwareUpdate);
    stepDelay_ = kDefaultStepDelayMs;
    writerValue_ = 0;
    writerAppCheckSum_ = 0;
    return 1;
}

int C_FWUpdate::WritePacket(const Packet& packet) {
    return link_->Write(packet.data(), packet.size());
}

int C_FWUpdate::Update() {
    if (!UpdateApp())
        return 0;
    clock_.SleepMs(static_cast<uint32_t>(std::max(0, stepDelay_)));
    return UpdateBoot();
}

int C_FWUpdate::GetModeText(std::string& text) {
    uint8_t mode = 0;
    int ok = WritePacket(ModeQuery());
    if (ok)
        ok = link_->Read(&mode, 1);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%x", ok ? mode : 0);
    text = hex;
    return ok;
}

int C_FWUpdate::UpdateApp() {
    if (SendApp())
        return 1;
    ReportError(kUpdateAppFailed);
    return 0;
}

int C_FWUpdate::UpdateBoot() {
    for (int attempt = 0; attempt < kBootTries; ++attempt)
        if (SendBoot())
            return 1;
    ReportError(kUpdateBootFailed);
    return 0;
}

// The application data follows its header at once on the wire: after a
// failed header write the writer would take the data for commands, so
// nothing more is sent.
int C_FWUpdate::SendApp() {
    if (!firmware_.HasBootBlock())
        return 0;
    const auto size = static_cast<size_t>(firmware_.GetAppSize());
    if (!WritePacket(AppHeader(static_cast<uint32_t>(size), firmware_.GetAppCheckSum())))
        return 0;
    if (size && !link_->Write(firmware_.GetAppData(), size))
        return 0;
    uint8_t answer = 0;
    return link_->Read(&answer, 1);
}

// A boot block that did not reach the writer is a failed try, so that
// UpdateBoot tries again and finally reports it.
int C_FWUpdate::SendBoot() {
    const uint8_t* packets = firmware_.GetBootPackets();
    if (!packets)
        return 0;
    const auto size = static_cast<uint32_t>(firmware_.GetBootSize());
    if (!WritePacket(BootHeader(size, firmware_.GetBootCheckSum())))
        return 0;
    return link_->Write(packets, 2u * size);
}

int C_FWUpdate::IsLinkReady() {
    return link_->EnsureOpen() ? 1 : 0;
}
std::string C_FWUpdate::GetMessage() {
    return result_->Message();
}
usb::I_USBInfo* C_FWUpdate::GetLink() {
    return link_;
}
C_C51BinFile& C_FWUpdate::GetFirmware() {
    return firmware_;
}
int C_FWUpdate::GetStepDelay() {
    return stepDelay_;
}
void C_FWUpdate::SetStepDelay(int ms) {
    stepDelay_ = ms;
}
uint32_t C_FWUpdate::GetWriterValue() {
    return writerValue_;
}
uint32_t C_FWUpdate::GetWriterAppCheckSum() {
    return writerAppCheckSum_;
}

int C_FWUpdate::GetWriterVersion(uint16_t* version) {
    const auto length =
        static_cast<uint32_t>(firmware_.GetFileName().empty() ? 0 : firmware_.GetLength());
    if (!WritePacket(VersionRequest(length)))
        return 0;
    Packet reply{};
    if (!link_->Read(reply.data(), reply.size()))
        return 0;
    const VersionReply parsed = ParseVersionReply(reply);
    std::copy(parsed.version.begin(), parsed.version.end(), version);
    writerValue_ = parsed.writerValue;
    writerAppCheckSum_ = parsed.writerAppCheckSum;
    return 1;
}

int C_FWUpdate::GetWriterVersionString(std::string& text) {
    Version version{};
    if (!GetWriterVersion(version.data()))
        return 0;
    text = FormatVersion(version);
    return 1;
}

int C_FWUpdate::IsAppCurrent() {
    if (writerAppCheckSum_ == 0)
        return 1;
    return writerAppCheckSum_ == firmware_.GetAppCheckSum() ? 1 : 0;
}

int C_FWUpdate::CheckLinkDeviceType() {
    return link_->CheckDeviceType();
}

int C_FWUpdate::GetBootReply(uint16_t& first, uint16_t& second) {
    link_->SetBodyType(usb::kIceBodyFirmwareUpdate);
    const auto length =
        static_cast<uint32_t>(firmware_.GetFileName().empty() ? 0 : firmware_.GetLength());
    if (!WritePacket(VersionRequest(length)))
        return 0;
    Packet reply{};
    if (!link_->Read(reply.data(), reply.size()))
        return 0;
    const VersionReply parsed = ParseVersionReply(reply);
    first = parsed.version[4];
    second = parsed.version[5];
    return 1;
}

void C_FWUpdate::ReportError(const char* message) {
    core::RaiseError<core::C_BasicError>(*result_, message);
}

int C_FWUpdate::DetectWriterType(std::string* message) {
    link_->SetBodyType(usb::eMultiICEBODY_CHECK_TYPE);
    const int type = link_->FindAnyWriter();
    if (message)
        *message = link_->GetMessage();
    return type;
}

} // namespace firmware
