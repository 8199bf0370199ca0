#include "usb/USBInfo.h"

#include "usb/DeviceKinds.h"

#include <atomic>
#include <strings.h>

namespace usb {
namespace {

std::atomic<bool> unlimitedWait{false};

std::array<uint8_t, kPacketSize> DetectionPacket() {
    std::array<uint8_t, kPacketSize> packet{};
    packet[0] = 0x0A;
    packet[1] = 0x40;
    return packet;
}

} // namespace

void SetUnlimitedWait(bool on) {
    unlimitedWait = on;
}
bool IsUnlimitedWait() {
    return unlimitedWait;
}

std::string DeviceMutexName(const std::string& devicePath) {
    const size_t hash = devicePath.find('#', 10);
    const size_t brace = devicePath.find('{', 10);
    if (hash == std::string::npos || brace == std::string::npos || brace < hash)
        return devicePath;
    return devicePath.substr(hash, brace - hash);
}

std::array<uint8_t, kPacketSize> QueryPacket(uint8_t command, uint8_t argument) {
    std::array<uint8_t, kPacketSize> packet{};
    packet[0] = command;
    packet[1] = argument;
    for (int i = 0; i < 4; ++i)
        packet[60 + i] = static_cast<uint8_t>(kQueryKey >> (8 * i));
    return packet;
}

C_USBInfo::C_USBInfo(port::DeviceIo* io, port::Clock& clock, core::C_Result& result) {
    Init(io, clock, result);
}

C_USBInfo::~C_USBInfo() {
    Close();
}

void C_USBInfo::Init(port::DeviceIo* io, port::Clock& clock, core::C_Result& result) {
    std::lock_guard<std::recursive_mutex> hold(linkLock_);
    iceBodyType_ = kIceBodyNone;
    opened_ = 0;
    deviceLock_.Close();
    refind_ = 1;
    transfer_ = std::make_unique<C_LogWIRELIB>(io, clock);
    result_ = &result;
}

void C_USBInfo::Bind(port::DeviceIo* io, port::Clock& clock, const std::string& unavailableText) {
    std::lock_guard<std::recursive_mutex> hold(linkLock_);
    Close();
    refind_ = 1;
    transfer_->Bind(io, clock);
    unavailableText_ = io ? std::string() : unavailableText;
}

void C_USBInfo::SetOnlyPath(const std::string& interfacePath) {
    std::lock_guard<std::recursive_mutex> hold(linkLock_);
    Close();
    refind_ = 1;
    onlyPath_ = interfacePath;
}

int C_USBInfo::SetBodyType(int type) {
    iceBodyType_ = type;
    return 1;
}

int C_USBInfo::Close() {
    std::lock_guard<std::recursive_mutex> hold(linkLock_);
    transfer_->ReleaseWritePipe();
    // A backend that holds the device for this process (a claimed USB
    // interface) lets it go with the claim, so another process can use it.
    if (deviceLock_.IsHeld())
        transfer_->ReleaseDevice(devicePath_);
    deviceLock_.Close();
    opened_ = 0;
    return 1;
}

std::string C_USBInfo::GetMessage() {
    return result_->Message();
}

void C_USBInfo::ReportError(const char* text) {
    result_->SetMessage(text);
}

void C_USBInfo::SetTimeout(uint32_t milliseconds) {
    transfer_->SetTimeout(milliseconds);
}

std::string C_USBInfo::GetDevicePath() {
    std::lock_guard<std::recursive_mutex> hold(linkLock_);
    return devicePath_;
}

int C_USBInfo::EnsureOpen() {
    std::lock_guard<std::recursive_mutex> hold(linkLock_);
    if (!opened_ || refind_)
        return Open();
    return 1;
}

int C_USBInfo::LockDevice(const std::string& devicePath) {
    const auto outcome = deviceLock_.Create(DeviceMutexName(devicePath));
    if (outcome == port::NamedMutex::Outcome::Failed)
        claimError_ = deviceLock_.Error();
    return outcome == port::NamedMutex::Outcome::Created ? 1 : 0;
}

void C_USBInfo::ReportSearchFailure(const char* text) {
    std::string message = text;
    for (const std::string& why : {claimError_, transfer_->TakeBackendProblem()})
        if (!why.empty())
            message += "\n\n" + why;
    ReportError(message.c_str());
}

uint8_t C_USBInfo::Query(uint8_t command, uint8_t argument, size_t replySize, uint8_t* reply) {
    // A failed exchange is not reported: the zeroed reply decides.
    const auto packet = QueryPacket(command, argument);
    transfer_->USB_Write(devicePath_, packet.data(), packet.size());
    transfer_->USB_Read(devicePath_, reply, replySize);
    return reply[0];
}

int C_USBInfo::QueryLevel() {
    uint8_t reply[kPacketSize] = {};
    Query(0x0A, 0x01, kPacketSize, reply);
    const unsigned level = reply[0] | (reply[1] << 8);
    return level > 7 ? 1 : 0;
}

int C_USBInfo::ReadDeviceType() {
    uint8_t reply[kPacketSize] = {};
    return Query(0x1B, 0, 1, reply);
}

uint8_t C_USBInfo::Query2F() {
    uint8_t reply[kPacketSize] = {};
    return Query(0x2F, 0, 10, reply);
}

uint8_t C_USBInfo::Query30() {
    uint8_t reply[kPacketSize] = {};
    return Query(0x30, 0, 10, reply);
}

int C_USBInfo::CheckDeviceType() {
    const int type = ReadDeviceType();
    lastDeviceType_ = type;
    const int bodyType = BodyTypeOfDeviceType(static_cast<uint8_t>(type));
    return bodyType != 0 && bodyType == iceBodyType_ ? 1 : 0;
}

bool C_USBInfo::StartSearch(int& count) {
    if (!transfer_->HasBackend() && !unavailableText_.empty()) {
        ReportError(unavailableText_.c_str());
        return false;
    }
    SetTimeout(kDetectionTimeoutMs);
    transfer_->TakeBackendProblem(); // only what this search meets counts
    if (!transfer_->EnumerateWriters(count)) {
        ReportSearchFailure(transfer_->GetErrorText().c_str());
        return false;
    }
    // An earlier transfer cannot leave the lock taken for a new search.
    transfer_->Release();
    return true;
}

uint8_t C_USBInfo::Detect(size_t replySize) {
    // A failed exchange is examined as the zeroed reply it leaves.
    const auto packet = DetectionPacket();
    uint8_t reply[kPacketSize] = {};
    transfer_->USB_Write(devicePath_, packet.data(), packet.size());
    transfer_->USB_Read(devicePath_, reply, replySize);
    return reply[0];
}

bool C_USBInfo::Accepts() {
    const uint8_t first = Detect(16);
    if (first != 0)
        return FirstAnswerAccepts(first, iceBodyType_);
    const uint8_t second = Detect(1);
    if (second != kFamilyAnswer)
        return SecondAnswerAccepts(second, iceBodyType_);
    if (iceBodyType_ == kIceBodyFirmwareUpdate)
        return true;
    if (!QueryLevel())
        return LevelZeroAccepts(iceBodyType_);
    return CheckDeviceType() != 0;
}

bool C_USBInfo::SearchWriters(const std::function<int()>& examine, int& answer) {
    answer = 0;
    claimError_.clear();
    int count = 0;
    if (!StartSearch(count))
        return false;
    for (int i = 0; i < count; ++i) {
        Close();
        const std::string path = transfer_->GetPath(i);
        if (!onlyPath_.empty() && strcasecmp(path.c_str(), onlyPath_.c_str()) != 0)
            continue;
        devicePath_ = path;
        if (!LockDevice(devicePath_))
            continue;
        answer = examine();
        if (answer != 0) {
            opened_ = 1;
            refind_ = 0;
            return true;
        }
    }
    // No claim is kept on a writer that was examined and refused.
    Close();
    return true;
}

int C_USBInfo::Open() {
    std::lock_guard<std::recursive_mutex> hold(linkLock_);
    if (iceBodyType_ == kIceBodyNone) {
        ReportError(kNoBodyText);
        return 0;
    }
    int accepted = 0;
    if (!SearchWriters([this] { return Accepts() ? 1 : 0; }, accepted))
        return 0;
    if (accepted)
        return 1;
    ReportSearchFailure(lastDeviceType_ == 0 ? kUnknownDeviceText : kWrongIcText);
    return 0;
}

int C_USBInfo::FindAnyWriter() {
    std::lock_guard<std::recursive_mutex> hold(linkLock_);
    if (iceBodyType_ != eMultiICEBODY_CHECK_TYPE) {
        ReportError(kNotCheckTypeText);
        return 0;
    }
    int type = 0;
    const auto examine = [this] {
        if (Detect(16) != 0 || Detect(1) != kFamilyAnswer || QueryLevel() != 1)
            return 0;
        const int byte = ReadDeviceType();
        return IsUpdatableDeviceType(static_cast<uint8_t>(byte)) ? byte : 0;
    };
    if (!SearchWriters(examine, type))
        return 0;
    // A refused writer's type byte is not a result: failure is always 0.
    if (type == 0)
        ReportSearchFailure(kNoUpdatableWriterText);
    return type;
}

int C_USBInfo::PacketTransfer(uint8_t* data, size_t length, bool isRead) {
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> hold(linkLock_);
        if (!EnsureOpen())
            return 0;
        path = devicePath_;
    }
    uint32_t timeout = length <= kPacketSize ? kPacketTimeoutMs : 0;
    if (IsUnlimitedWait())
        timeout = 0;
    transfer_->SetTimeout(timeout);
    const int ok =
        isRead ? transfer_->USB_Read(path, data, length) : transfer_->USB_Write(path, data, length);
    if (!ok) {
        Close();
        ReportError(transfer_->GetErrorText().c_str());
        return 0;
    }
    return 1;
}

int C_USBInfo::Write(const uint8_t* data, size_t length) {
    return PacketTransfer(const_cast<uint8_t*>(data), length, false);
}

int C_USBInfo::Read(uint8_t* data, size_t length) {
    return PacketTransfer(data, length, true);
}

int C_USBInfo::HoldWritePipe() {
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> hold(linkLock_);
        if (!EnsureOpen())
            return 0;
        path = devicePath_;
    }
    if (!transfer_->HoldWritePipe(path)) {
        Close();
        ReportError(transfer_->GetErrorText().c_str());
        return 0;
    }
    return 1;
}

void C_USBInfo::ReleaseWritePipe() {
    transfer_->ReleaseWritePipe();
}

} // namespace usb
