#include "engine/OTP.h"

#include "core/Profiler.h"

#include "core/Errors.h"
#include "image/ChipBinFiles.h"
#include "port/ProgramPath.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

namespace engine {
namespace {

constexpr size_t kLoadAlignment = 256;

} // namespace

C_OTP::C_OTP(usb::I_USBInfo& link, port::Clock& clock, core::C_Result& result)
    : embeddedUpdater_(link, clock, result), link_(&link), result_(&result), clock_(clock) {
    Init();
}

C_OTP::~C_OTP() = default;

int C_OTP::Init() {
    usb::SetUnlimitedWait(true);
    link_->SetBodyType(usb::kIceBodyWriter);
    image_ = std::make_unique<image::C_OTPBinFile>();
    catalogue_ = std::make_unique<image::C_OTPBodyProfiler>();
    updater_ = std::make_unique<firmware::C_FWUpdate>(*link_, clock_, *result_);
    programFolder_ = port::ModuleFolder();
    states_.fill(kSocketOK);
    return 1;
}

// ---- transfers -------------------------------------------------------------

int C_OTP::Send(const Packet& packet) {
    return link_->Write(packet.data(), packet.size());
}

uint16_t C_OTP::SocketMask() {
    uint16_t mask = 0;
    for (int i = 0; i < static_cast<int>(kSocketCount); ++i)
        if (IsSocketEnabled(i))
            mask = static_cast<uint16_t>(mask | (1u << i));
    return mask;
}

int C_OTP::SendSocketMask() {
    return Send(SocketMaskPacket(SocketMask()));
}

// A mask packet that follows a command the writer never got would be taken
// for a command of its own, so nothing more is sent after a failed write.
int C_OTP::SendMasked(const Packet& command) {
    if (!Send(command))
        return 0;
    return SendSocketMask();
}

int C_OTP::MaskedWithStatus(const Packet& command) {
    if (!SendMasked(command))
        return NotRun();
    return StatusPassed();
}

int C_OTP::NotRun() {
    // What the sockets held before says nothing about an operation that never
    // reached the writer: they read Init, as a status reply lost with the
    // link reads, so no socket shows OK for it.
    DecodeStatus(Packet{});
    return 0;
}

int C_OTP::ReadStatus() {
    Packet reply{};
    int ok = Send(CommandPacket(kCmdReadStatus));
    if (ok)
        ok = link_->Read(reply.data(), reply.size());
    if (!ok)
        reply.fill(0);
    DecodeStatus(reply);
    return ok;
}

void C_OTP::DecodeStatus(const Packet& reply) {
    states_ = DecodeStatusReply(reply);
}

int C_OTP::AnySocketFailed() {
    // A status that never arrived proves nothing: count it as a failure.
    if (!ReadStatus())
        return 1;
    for (int i = 0; i < static_cast<int>(kSocketCount); ++i)
        if (IsSocketEnabled(i) && states_[i] == kSocketFail)
            return 1;
    return 0;
}

// ---- body and image parameters ---------------------------------------------

bool C_OTP::HaveImage() {
    if (image_)
        return true;
    ReportError(kNoBodySelected);
    return false;
}

// The buffer commands carry the image's size, sum or data: an image whose
// file is gone would load and check nothing, and pass.
bool C_OTP::HaveImageFile() {
    if (!HaveImage())
        return false;
    if (image_->Exists())
        return true;
    ReportError(image_->ResultObject().Message().c_str());
    return false;
}

// A buffer command with an image of no bytes would load or check nothing and
// pass: an image that cannot be built, or an empty one, is refused.
bool C_OTP::HaveWordImage(uint32_t& size) {
    if (!HaveImageFile())
        return false;
    const uint8_t* words = image_->GetWordImage();
    const int imageSize = image_->GetWordImageSize();
    if (words && imageSize > 0) {
        size = static_cast<uint32_t>(imageSize);
        return true;
    }
    if (imageSize <= 0)
        return ReportError(kEmptyImage);
    return ReportError(image_->ResultObject().Message().c_str()); // it said why
}

// The end address is the body's OTP size less one: a body without an OTP
// size would wrap it to the top of the address space.
bool C_OTP::HaveOTPBody() {
    if (!HaveImage())
        return false;
    if (catalogue_->GetOTPSize() > 0)
        return true;
    ReportError(kNoBodySelected);
    return false;
}

uint32_t C_OTP::BodyOTPEnd() {
    return static_cast<uint32_t>(catalogue_->GetOTPSize()) - 1u;
}

uint32_t C_OTP::ClampedLastUnit() {
    const uint32_t lastUnit = static_cast<uint32_t>(image_->GetLastUnit());
    return std::min(lastUnit, BodyOTPEnd());
}

uint8_t C_OTP::FwBodyCode() {
    return static_cast<uint8_t>(catalogue_->GetFwBody());
}

// ---- writer buffer -----------------------------------------------------------

int C_OTP::ScanSockets() {
    if (!Send(CommandPacket(kCmdScanSockets)))
        return 0;
    return ReadStatus();
}

int C_OTP::EraseBuffer() {
    return MaskedWithStatus(CommandPacket(kCmdEraseBuffer));
}

int C_OTP::BlankCheckBuffer() {
    uint32_t size = 0;
    if (!HaveWordImage(size))
        return NotRun();
    return MaskedWithStatus(AddressCommand(kCmdBlankCheckBuffer, size));
}

int C_OTP::LoadBuffer() {
    uint32_t imageSize = 0;
    if (!HaveWordImage(imageSize))
        return NotRun();
    const size_t size = imageSize;
    const uint8_t* words = image_->GetWordImage();
    const size_t length = (size + kLoadAlignment - 1) / kLoadAlignment * kLoadAlignment;

    if (!SendMasked(AddressCommand(kCmdLoadBuffer, static_cast<uint32_t>(length))))
        return NotRun();
    std::vector<uint8_t> block(length, 0xFF);
    std::memcpy(block.data(), words, size);
    const size_t write = LoadWriteSize();
    if (write == kPacketSize) {
        for (size_t at = 0; at < length; at += kPacketSize)
            if (!link_->Write(&block[at], kPacketSize))
                return NotRun();
        return StatusPassed();
    }
    // The same packets on the wire, in writes of many packets through a pipe
    // opened once; a failed write still ends the load at once.
    if (!link_->HoldWritePipe())
        return NotRun();
    bool written = true;
    for (size_t at = 0; written && at < length; at += write)
        written = link_->Write(&block[at], std::min(write, length - at)) != 0;
    link_->ReleaseWritePipe();
    return written ? StatusPassed() : NotRun();
}

size_t C_OTP::LoadWriteSize() {
    const int bytes =
        core::C_Profiler().GetInt(core::settings::kGeneral, core::settings::kLoadBlockBytes);
    if (bytes <= 0)
        return kPacketSize;
    const size_t whole = size_t(bytes) / kPacketSize * kPacketSize;
    return std::clamp(whole, kPacketSize, kMaxLoadWrite);
}

int C_OTP::VerifyBuffer(int waitMode) {
    uint32_t size = 0;
    if (!HaveWordImage(size))
        return NotRun();
    const auto sum = static_cast<uint32_t>(image_->ComputeImageCheckSum());
    int passed = 0;
    if (!SendMasked(VerifyBufferCommand(size, sum, FwBodyCode()))) {
        passed = NotRun();
    } else {
        if (waitMode == kWaitPoll) {
            for (int round = 0; round < kPollRounds && !passed; ++round) {
                clock_.SleepMs(kPollIntervalMs);
                passed = StatusPassed();
            }
        } else {
            if (waitMode == kWaitLong)
                clock_.SleepMs(kLongWaitMs);
            passed = StatusPassed();
        }
    }
    usb::SetUnlimitedWait(true);
    return passed;
}

// ---- OTP operations ----------------------------------------------------------

int C_OTP::BlankCheckOTP() {
    if (!HaveOTPBody())
        return NotRun();
    return MaskedWithStatus(AddressCommand(kCmdBlankCheckOTP, BodyOTPEnd(), FwBodyCode()));
}

int C_OTP::ProgramOTP() {
    if (!HaveOTPBody())
        return NotRun();
    return MaskedWithStatus(AddressCommand(kCmdProgramOTP, ClampedLastUnit(), FwBodyCode()));
}

int C_OTP::VerifyOTP() {
    if (!HaveOTPBody())
        return NotRun();
    return MaskedWithStatus(AddressCommand(kCmdVerifyOTP, ClampedLastUnit(), FwBodyCode()));
}

int C_OTP::TrimIHRC() {
    if (!HaveOTPBody())
        return NotRun();
    return MaskedWithStatus(AddressCommand(kCmdTrimIHRC, BodyOTPEnd(), FwBodyCode()));
}

int C_OTP::TrimLVD() {
    if (!HaveOTPBody())
        return NotRun();
    return MaskedWithStatus(AddressCommand(kCmdTrimLVD, BodyOTPEnd(), FwBodyCode()));
}

int C_OTP::ReadOTP(const std::string& fileName) {
    readBackSaved_ = false;
    if (!HaveOTPBody())
        return 0;
    // Without a read-back size there is nothing to read, and an empty file
    // must not replace an earlier read-back.
    if (catalogue_->GetOTPBinSize() <= 0)
        return ReportError(kNoBodySelected);
    const size_t length = static_cast<size_t>(catalogue_->GetOTPBinSize()) * 1024u;
    if (!Send(AddressCommand(kCmdReadOTP, BodyOTPEnd(), FwBodyCode())))
        return 0;
    std::vector<uint8_t> data(length, 0);
    // A read that failed leaves an earlier good read-back file as it was.
    if (!link_->Read(data.data(), length))
        return 0;
    const bool saved = SaveFile(fileName, data.data(), data.size());
    readBackSaved_ = saved;
    const int passed = StatusPassed();
    return saved ? passed : 0;
}

bool C_OTP::SaveFile(const std::string& name, const uint8_t* data, size_t length) {
    const std::string path = programFolder_ + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out)
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
    if (out.flush())
        return true;
    result_->SetResult(core::kCodeCantOpenFile, ("Can't open file " + path).c_str());
    return false;
}

// ---- sockets -----------------------------------------------------------------

int C_OTP::CountSockets(int state) {
    int count = 0;
    for (int i = 0; i < static_cast<int>(kSocketCount); ++i)
        if (IsSocketEnabled(i) && states_[i] == state)
            ++count;
    return count;
}

void C_OTP::SelectPassed(int flag) {
    if (!flag)
        return;
    for (int i = 0; i < static_cast<int>(kSocketCount); ++i)
        SetSocketEnabled(i, states_[i] == kSocketOK ? 1 : 0);
}

int C_OTP::SendSocketStates() {
    std::array<uint8_t, kSocketCount> send{};
    for (int i = 0; i < static_cast<int>(kSocketCount); ++i) {
        if (IsSocketEnabled(i))
            send[i] = states_[i];
        else
            states_[i] = kSocketInit;
    }
    return SendMasked(SocketStatesCommand(send));
}

int C_OTP::ResetSocketStates() {
    std::array<uint8_t, kSocketCount> send{};
    for (int i = 0; i < static_cast<int>(kSocketCount); ++i) {
        SetSocketEnabled(i, 0);
        if (states_[i] == kSocketOK || states_[i] == kSocketFail) {
            states_[i] = kSocketOK;
            send[i] = kSocketOK;
            SetSocketEnabled(i, 1);
        }
    }
    return SendMasked(SocketStatesCommand(send));
}

int C_OTP::SetAllSocketStates(int kind) {
    // Kinds 0-3 ask for OK, Busy, Fail, Init; anything else sends Init.
    static constexpr uint8_t kByKind[] = {kSocketOK, kSocketBusy, kSocketFail, kSocketInit};
    const uint8_t state = (kind >= 0 && kind < 4) ? kByKind[kind] : uint8_t{kSocketInit};
    std::array<uint8_t, kSocketCount> send{};
    send.fill(state);
    for (int i = 0; i < static_cast<int>(kSocketCount); ++i)
        SetSocketEnabled(i, 1);
    return SendMasked(SocketStatesCommand(send));
}

const std::array<uint8_t, kSocketCount>& C_OTP::GetSocketStates() {
    return states_;
}

void C_OTP::SetSocketEnabled(int socket, int flag) {
    enables_[socket] = flag;
}

int C_OTP::IsSocketEnabled(int socket) {
    const auto it = enables_.find(socket);
    return it == enables_.end() ? 0 : it->second;
}

int C_OTP::SetCounters(int pass, int fail) {
    return Send(SetCountersCommand(static_cast<uint16_t>(pass), static_cast<uint16_t>(fail)));
}

void C_OTP::SetOption(int key, int value) {
    options_[key] = value;
}

int C_OTP::GetOption(int key) const {
    const auto it = options_.find(key);
    return it == options_.end() ? 0 : it->second;
}

// ---- information blocks --------------------------------------------------------

int C_OTP::ReadInfoBlock(uint8_t command, int save, const char* saveFile, bool* blockRead) {
    if (!Send(AddressCommand(command, kInfoBlockSize, kInfoModeDefault)))
        return 0;
    if (!Send(Packet{}))
        return 0;
    InfoBlockBytes block{};
    // The last good block stays when the read fails.
    if (!link_->Read(block.data(), block.size()))
        return 0;
    infoBlock_ = InfoBlock(block);
    if (blockRead)
        *blockRead = true;
    bool saved = true;
    if (save)
        saved = SaveFile(saveFile, block.data(), block.size());
    const int passed = StatusPassed();
    return saved ? passed : 0;
}

int C_OTP::GetInfo(int save) {
    return ReadInfoBlock(kCmdGetInfo, save, kGetInfoFile);
}
int C_OTP::GetOTPInfo(int save) {
    return ReadInfoBlock(kCmdGetOTPInfo, save, kGetOTPInfoFile);
}
int C_OTP::GetOTPInfo2(int save) {
    return GetOTPInfo(save);
}

InfoBlockContent C_OTP::BlockContent() {
    InfoBlockContent c;
    c.bodySeries = static_cast<uint8_t>(catalogue_->GetBodySeries());
    c.bodyType = static_cast<uint16_t>(catalogue_->GetBodyType());
    c.imageSize = static_cast<uint32_t>(image_->GetWordImageSize());
    c.imageCheckSum = static_cast<uint32_t>(image_->ComputeImageCheckSum());
    c.fwBody = FwBodyCode();
    c.blankCheck = GetOption(kOptionBlankCheck) != 0;
    c.program = GetOption(kOptionProgram) != 0;
    c.verify = GetOption(kOptionVerify) != 0;
    c.lastUnit = static_cast<uint32_t>(image_->GetLastUnit());
    c.passCounter = static_cast<uint16_t>(passCounter_);
    c.failCounter = static_cast<uint16_t>(failCounter_);
    return c;
}

int C_OTP::WriteInfoBlock(const Packet& command, const InfoBlockBytes& block, int save,
                          const char* saveFile) {
    if (!Send(command))
        return 0;
    if (!link_->Write(block.data(), block.size()))
        return 0;
    if (save && !SaveFile(saveFile, block.data(), block.size()))
        return 0;
    return VerifyInfo(block);
}

int C_OTP::SetInfo(int save) {
    if (!HaveImage())
        return 0;
    const InfoBlockBytes block = BuildInfoBlock(BlockContent());
    return WriteInfoBlock(AddressCommand(kCmdSetInfo, kInfoBlockSize), block, save, kSetInfoFile);
}

int C_OTP::SetOTPInfo(int save, const InfoRecord& record) {
    if (!HaveImage())
        return 0;
    InfoBlockContent content = BlockContent();
    content.record = record;
    return WriteInfoBlock(AddressCommand(kCmdSetOTPInfo, kInfoBlockSize, kInfoModeDefault),
                          BuildInfoBlock(content), save, kSetOTPInfoFile);
}

int C_OTP::SetOTPInfo2(int save, const InfoRecord& record) {
    if (!HaveImage())
        return 0;
    InfoBlockContent content = BlockContent();
    content.record = record;
    return WriteInfoBlock(AddressCommand(kCmdSetOTPInfo, kInfoBlockSize, kInfoModeAlternate),
                          BuildInfoBlock(content), save, kSetOTPInfoFile);
}

int C_OTP::VerifyInfo(const InfoBlockBytes& block) {
    bool blockRead = false;
    ReadInfoBlock(kCmdGetInfo, 0, kGetInfoFile, &blockRead);
    // Nothing came back to compare: the link's message says why.
    if (!blockRead)
        return 0;
    if (infoBlock_.HoldsNothing())
        return 1;
    if (infoBlock_.Bytes() != block)
        return ReportError(kWriteInfoFailed);
    return 1;
}

// ---- accessors -------------------------------------------------------------------

int C_OTP::ByteSum(const uint8_t* bytes, int length) {
    return static_cast<int>(engine::ByteSum(bytes, length > 0 ? static_cast<size_t>(length) : 0));
}

std::string C_OTP::GetMessage() {
    return result_->Message();
}

int C_OTP::ReportError(const char* text) {
    core::RaiseError<core::C_OTPError>(*result_, text);
    return 0;
}

image::C_OTPBinFile* C_OTP::GetImage() {
    return image_.get();
}
firmware::C_C51BinFile* C_OTP::GetFirmwareImage() {
    return &updater_->GetFirmware();
}
firmware::C_FWUpdate* C_OTP::GetUpdater() {
    return updater_.get();
}
image::C_OTPBodyProfiler* C_OTP::GetBodyCatalogue() {
    return catalogue_.get();
}
usb::I_USBInfo* C_OTP::GetLink() {
    return link_;
}
const InfoBlock& C_OTP::GetInfoBlock() {
    return infoBlock_;
}

void C_OTP::SelectBody(int index) {
    catalogue_->SetCurrentIndex(index);
    std::string fileName;
    if (image_) {
        fileName = image_->GetFileName();
        image_.reset();
    }
    image_ = image::CreateBodyImage(index);
    if (image_ && !fileName.empty())
        image_->SetFileName(fileName);
}

} // namespace engine
