#include "sim/Controller.h"

#include "sim/BodyCodes.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim {
namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe16(std::vector<uint8_t>& v, size_t at, uint32_t value) {
    v[at] = uint8_t(value);
    v[at + 1] = uint8_t(value >> 8);
}

void PutLe32(std::vector<uint8_t>& v, size_t at, uint32_t value) {
    PutLe16(v, at, value);
    PutLe16(v, at + 2, value >> 16);
}

// Commands the boot loader understands; it ignores every other one.
bool BootLoaderCommand(uint8_t code) {
    return code == 0x0A || code == 0x1B || code == 0x15 || code == 0x18;
}

bool MaskedCommand(uint8_t code) {
    switch (code) {
    case 0x1E:
    case 0x1F:
    case 0x20:
    case 0x21:
    case 0x22:
    case 0x23:
    case 0x24:
    case 0x28:
    case 0x32:
    case 0x33:
        return true;
    default:
        return false;
    }
}

// Blocks longer than this are taken in and thrown away.
constexpr uint32_t kMaxBlock = 4096;

} // namespace

Controller::Controller(WriterState& state, const WriterConfig& config, FaultPlan& faults,
                       port::Clock& clock, const Timings& timings)
    : state_(state), config_(config), sockets_(state, faults, clock, timings) {}

bool Controller::TakeChanged() {
    const bool changed = changed_;
    changed_ = false;
    return changed;
}

void Controller::PowerCycle() {
    update_.Abort();
    expect_ = Expect::Command;
    remaining_ = 0;
    reply_ = Reply::None;
    replyBytes_.clear();
    FirmwareModel& fw = state_.firmware;
    fw.inBootLoader = !(fw.appValid && fw.bootValid);
    for (auto& s : state_.sockets) {
        s.state = SocketState::Init;
        s.busyUntilMs = 0;
    }
}

void Controller::SetReply(std::vector<uint8_t> bytes, Reply kind) {
    replyBytes_ = std::move(bytes);
    replyPos_ = 0;
    reply_ = kind;
}

void Controller::Receive(const uint8_t* data, size_t length) {
    while (length > 0) {
        size_t used = 0;
        switch (expect_) {
        case Expect::Update:
            used = update_.Accept(data, length, state_.firmware);
            if (!update_.Receiving()) {
                expect_ = Expect::Command;
                changed_ = true;
            }
            break;
        case Expect::LoadData:
            used = std::min<size_t>(length, remaining_);
            sockets_.LoadData(loadOffset_, data, used);
            loadOffset_ += uint32_t(used);
            remaining_ -= uint32_t(used);
            if (remaining_ == 0) {
                sockets_.FinishLoad();
                expect_ = Expect::Command;
                changed_ = true;
            }
            break;
        case Expect::Block:
            used = std::min<size_t>(length, remaining_);
            block_.insert(block_.end(), data, data + used);
            remaining_ -= uint32_t(used);
            if (remaining_ == 0) {
                if (block_.size() == kInfoBlockSize) {
                    state_.info.emplace();
                    std::copy(block_.begin(), block_.end(), state_.info->begin());
                    changed_ = true;
                }
                expect_ = Expect::Command;
            }
            break;
        case Expect::Trailer:
            used = std::min<size_t>(length, remaining_);
            remaining_ -= uint32_t(used);
            if (remaining_ == 0)
                expect_ = Expect::Command;
            break;
        case Expect::Command:
        case Expect::Mask: {
            // Every write is cut into 64-byte packets; a shorter last piece
            // is a short packet and ends the packet.
            std::array<uint8_t, kPacketSize> packet{};
            used = std::min(length, kPacketSize);
            std::copy_n(data, used, packet.data());
            Packet(packet.data());
            break;
        }
        }
        data += used;
        length -= used;
        if (used == 0)
            break;
    }
}

void Controller::Packet(const uint8_t* packet) {
    if (expect_ == Expect::Mask) {
        expect_ = Expect::Command;
        const uint16_t mask = uint16_t(packet[0] | packet[1] << 8);
        state_.mask = mask;
        Masked(pending_.data(), mask);
        return;
    }
    Command(packet);
}

void Controller::Command(const uint8_t* p) {
    const uint8_t code = p[0];
    reply_ = Reply::None;
    if (state_.firmware.inBootLoader && !BootLoaderCommand(code))
        return;
    if (MaskedCommand(code)) {
        std::copy(p, p + kPacketSize, pending_.begin());
        expect_ = Expect::Mask;
        return;
    }
    const bool boot = state_.firmware.inBootLoader;
    switch (code) {
    case 0x0A:
        if (p[1] == 0x40)
            SetReply({}, Reply::Detection);
        else if (p[1] == 0x01)
            SetReply(VersionReply());
        else if (p[1] == 0x00)
            SetReply({uint8_t(boot ? 0x00 : 0x01)});
        break;
    case 0x1B:
        SetReply({uint8_t(boot ? 0 : config_.deviceType)});
        break;
    case 0x2F: {
        std::vector<uint8_t> r(10, 0);
        r[0] = kSocketCount;
        for (const auto& s : state_.sockets)
            r[1] += s.chip ? 1 : 0;
        SetReply(std::move(r));
        break;
    }
    case 0x30: {
        std::vector<uint8_t> r(10, 0);
        r[0] = 0x02; // hardware revision
        r[1] = 0x01;
        SetReply(std::move(r));
        break;
    }
    case 0x07: {
        std::vector<uint8_t> r(kPacketSize);
        sockets_.StatusReply(r.data());
        SetReply(std::move(r));
        break;
    }
    case 0x15:
        update_.BeginApp(p, state_.firmware);
        expect_ = Expect::Update;
        SetReply({}, Reply::AppAck);
        changed_ = true;
        break;
    case 0x18:
        update_.BeginBoot(p, state_.firmware);
        expect_ = Expect::Update;
        changed_ = true;
        break;
    case 0x1C:
    case 0x25:
        if (code == 0x1C)
            state_.otpInfoVariant = p[5];
        remaining_ = std::min(Le32(p + 1), kMaxBlock);
        block_.clear();
        if (remaining_)
            expect_ = Expect::Block;
        break;
    case 0x1D:
    case 0x2A:
        if (state_.info)
            SetReply(std::vector<uint8_t>(state_.info->begin(), state_.info->end()));
        else
            SetReply(std::vector<uint8_t>(kInfoBlockSize, 0xAA));
        remaining_ = kPacketSize;
        expect_ = Expect::Trailer;
        break;
    case 0x26:
        sockets_.Scan();
        break;
    case 0x27:
        state_.passCount = uint16_t(p[1] | p[2] << 8);
        state_.failCount = uint16_t(p[3] | p[4] << 8);
        changed_ = true;
        break;
    case 0x2E: {
        auto contents = sockets_.ReadOtp(state_.mask, Le32(p + 1), p[5]);
        if (contents)
            SetReply(std::move(*contents), Reply::OtpStream);
        changed_ = true;
        break;
    }
    default:
        break; // unknown commands are ignored
    }
}

size_t Controller::TakeStepBytes() {
    return std::exchange(stepBytes_, 0);
}

void Controller::Masked(const uint8_t* p, uint16_t mask) {
    const uint32_t value = Le32(p + 1);
    const bool otpStep =
        p[0] == 0x1E || p[0] == 0x1F || p[0] == 0x20 || p[0] == 0x32 || p[0] == 0x33;
    if (otpStep && mask != 0) {
        const BodyCode* body = FindBodyCode(p[5]);
        stepBytes_ = body ? body->ChipBytes(value) : size_t(value) + 1;
    }
    switch (p[0]) {
    case 0x1E:
        sockets_.BlankCheckOtp(mask, value, p[5]);
        break;
    case 0x1F:
        sockets_.ProgramOtp(mask, value, p[5]);
        break;
    case 0x20:
        sockets_.VerifyOtp(mask, value, p[5]);
        break;
    case 0x32:
        sockets_.Trim(Operation::TrimIhrc, mask, value, p[5]);
        break;
    case 0x33:
        sockets_.Trim(Operation::TrimLvd, mask, value, p[5]);
        break;
    case 0x21:
        sockets_.BlankCheckBuffers(mask, value);
        break;
    case 0x22:
        sockets_.EraseBuffers(mask);
        break;
    case 0x23:
        sockets_.BeginLoad(mask, value);
        loadOffset_ = 0;
        remaining_ = value;
        if (value)
            expect_ = Expect::LoadData;
        else
            sockets_.FinishLoad();
        break;
    case 0x24:
        sockets_.VerifyBuffers(mask, value, Le32(p + 5), p[9]);
        break;
    case 0x28:
        sockets_.SetStates(p + 1);
        break;
    }
    changed_ = true;
}

std::vector<uint8_t> Controller::VersionReply() const {
    const FirmwareModel& fw = state_.firmware;
    const bool boot = fw.inBootLoader;
    const FirmwareVersion& v = boot ? kBootLoaderVersion : fw.version;
    std::vector<uint8_t> r(kPacketSize, 0);
    for (size_t i = 0; i < 4; ++i)
        PutLe16(r, 2 * i, v[i]);
    PutLe32(r, 8, config_.serial);
    PutLe32(r, 12, boot ? 0 : fw.appCheckSum);
    PutLe16(r, 16, v[4]);
    PutLe16(r, 18, v[5]);
    return r;
}

bool Controller::Answer(uint8_t* buffer, size_t size, size_t& delivered) {
    delivered = 0;
    // A host that reads while the writer still waits for a mask, load data, a
    // block or boot packets has given up sending them: the half-received
    // command ends (a load fails), so the writer does not eat the host's next
    // commands as data.
    switch (expect_) {
    case Expect::Mask:
    case Expect::Block:
    case Expect::Trailer:
        expect_ = Expect::Command;
        break;
    case Expect::LoadData:
        sockets_.AbortLoad();
        expect_ = Expect::Command;
        changed_ = true;
        break;
    case Expect::Update:
        if (!update_.ReceivingApp()) {
            update_.Abort();
            expect_ = Expect::Command;
            changed_ = true;
        }
        break;
    case Expect::Command:
        break;
    }
    switch (reply_) {
    case Reply::None:
        return false;
    case Reply::Detection: {
        reply_ = Reply::None;
        const bool boot = state_.firmware.inBootLoader;
        // A one-byte read gets the family byte; a longer one the 16-byte
        // identification record, whose first byte 0 marks this family.
        if (size == 1) {
            buffer[0] = 0x51;
            delivered = 1;
            return true;
        }
        std::vector<uint8_t> record(16, 0);
        record[1] = 0x51;
        record[2] = boot ? 0 : config_.deviceType;
        record[3] = kSocketCount;
        PutLe32(record, 4, config_.serial);
        delivered = std::min(size, record.size());
        std::copy_n(record.data(), delivered, buffer); // a zero-length read may come with no buffer
        return true;
    }
    case Reply::AppAck: {
        reply_ = Reply::None;
        const bool ok = update_.FinishApp(state_.firmware);
        expect_ = Expect::Command;
        changed_ = true;
        if (!ok)
            return false;
        if (size > 0) {
            buffer[0] = 0x01;
            delivered = 1;
        }
        return true;
    }
    case Reply::OtpStream: {
        // The chip's bytes, then blank bytes for as much as the host reads.
        reply_ = Reply::None;
        for (size_t i = 0; i < size; ++i)
            buffer[i] = i < replyBytes_.size() ? replyBytes_[i] : kBlankByte;
        delivered = size;
        return true;
    }
    case Reply::Bytes: {
        delivered = std::min(size, replyBytes_.size() - replyPos_);
        std::copy_n(replyBytes_.data() + replyPos_, delivered, buffer);
        replyPos_ += delivered;
        if (replyPos_ >= replyBytes_.size())
            reply_ = Reply::None;
        return true;
    }
    }
    return false;
}

} // namespace sim
