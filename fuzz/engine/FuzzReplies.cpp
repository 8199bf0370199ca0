// The writer's replies as the program parses them, all taken from the fuzz
// input: the identification answers of the link's search, the status reply,
// the information blocks and the firmware version reply, each through the
// link, the engine and the updater exactly as a run meets them. Nothing may
// crash, and the decoders must agree with their encoders.
//
// Input: the first 64 bytes also go straight to the packet decoders; then
// every read the program makes takes one control byte (low nibble 15: the
// read fails, 14: it times out, 13: it comes up short by the high nibble's
// bytes) and then its reply bytes, zeros once the input runs out.
#include "engine/OTP.h"
#include "firmware/FWUpdate.h"
#include "firmware/FirmwarePackets.h"
#include "port/Clock.h"
#include "port/DeviceIo.h"
#include "port/ProgramPath.h"
#include "usb/USBInfo.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "reply fuzz: %s\n", what);
    std::abort();
}

using Outcome = port::DeviceHandle::Outcome;

// The fuzz bytes as the writer's side of every exchange.
class ReplyStream {
public:
    ReplyStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    Outcome Next(uint8_t* buffer, size_t size, size_t& transferred) {
        const uint8_t control = Take();
        transferred = 0;
        if ((control & 0x0F) == 15)
            return Outcome::Failed;
        if ((control & 0x0F) == 14)
            return Outcome::TimedOut;
        size_t length = size;
        if ((control & 0x0F) == 13)
            length -= std::min<size_t>(size, control >> 4);
        for (size_t i = 0; i < length; ++i)
            buffer[i] = Take();
        transferred = length;
        return Outcome::Done;
    }

private:
    uint8_t Take() { return at_ < size_ ? data_[at_++] : 0; }
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class ReplyHandle : public port::DeviceHandle {
public:
    explicit ReplyHandle(ReplyStream& replies) : replies_(replies) {}
    Outcome Read(uint8_t* buffer, size_t size, uint32_t, size_t& transferred) override {
        return replies_.Next(buffer, size, transferred);
    }
    Outcome Write(const uint8_t*, size_t size, uint32_t, size_t& transferred) override {
        transferred = size;
        return Outcome::Done;
    }
    void Cancel() override {}

private:
    ReplyStream& replies_;
};

// One writer listed; every pipe on it answers from the stream.
class ReplyIo : public port::DeviceIo {
public:
    explicit ReplyIo(ReplyStream& replies) : replies_(replies) {}
    std::string Name() const override { return "replies"; }
    bool InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                         std::string& path) override {
        if (memberIndex != 0)
            return false;
        path = std::string("\\\\?\\usb#vid_fff0&pid_0b57#fuzz#") + interfaceClass;
        return true;
    }
    std::unique_ptr<port::DeviceHandle> Open(const std::string&) override {
        return std::make_unique<ReplyHandle>(replies_);
    }
    void SetEventHandler(EventHandler) override {}

private:
    ReplyStream& replies_;
};

void CheckDecoders(const uint8_t* data, size_t size) {
    engine::Packet packet{};
    std::memcpy(packet.data(), data, std::min(size, packet.size()));
    const auto states = engine::DecodeStatusReply(packet);
    if (engine::DecodeStatusReply(engine::EncodeStatusReply(states)) != states)
        Fail("status reply does not survive encoding");
    for (uint8_t state : states)
        if (engine::SocketStateText(state) == nullptr)
            Fail("a socket state without text");

    firmware::Packet reply{};
    std::memcpy(reply.data(), data, std::min(size, reply.size()));
    const firmware::VersionReply version = firmware::ParseVersionReply(reply);
    const firmware::VersionReply again =
        firmware::ParseVersionReply(firmware::EncodeVersionReply(version));
    if (again.version != version.version || again.writerValue != version.writerValue ||
        again.writerAppCheckSum != version.writerAppCheckSum)
        Fail("version reply does not survive encoding");
    if (firmware::FormatVersion(version.version).size() < 19)
        Fail("version text too short");

    engine::InfoBlockBytes bytes{};
    std::memcpy(bytes.data(), data, std::min(size, bytes.size()));
    const engine::InfoBlock block(bytes);
    (void)block.HoldsNothing();
    (void)(block.BodyType() + block.PassCounter() + block.FailCounter());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The link claims writers by name; keep the claims out of the system's folder.
    static char folder[] = "/tmp/burnwright-fuzz-locks-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        Fail("no lock folder");
    setenv("BURNWRIGHT_LOCK_DIR", folder, 1);
    // The engine reads the body profile beside the program; one body is
    // enough, and without a profile every run would say it is missing.
    const std::string program = std::string(folder) + "/burnwright";
    std::ofstream(std::string(folder) + "/OTPBodyProfile.xml")
        << "<Profile>\n<Body BodyID=\"12\" OTPSize=\"16\" OTPBinSize=\"1\" FwBody=\"12\" "
           "ComboName=\" B \" BodySeries=\"1\" BodyType=\"1\"/>\n</Profile>\n";
    port::SetModuleFileNameOverride(program);
    std::atexit([] { std::filesystem::remove_all(folder); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckDecoders(data, size);

    ReplyStream replies(data, size);
    ReplyIo io(replies);
    port::ManualClock clock;
    core::C_Result result;
    usb::C_USBInfo link(&io, clock, result);
    engine::C_OTP engine(link, clock, result);

    link.SetBodyType(usb::kIceBodyWriter);
    link.Open();
    // Each call reads a status reply of its own from the stream.
    engine.ScanSockets();
    engine.AnySocketFailed();
    engine.ReadStatus();
    if (engine.CountSockets(engine::kSocketOK) + engine.CountSockets(engine::kSocketFail) > 16)
        Fail("more sockets counted than there are");
    engine.GetInfo(0);
    engine.GetOTPInfo(0);
    engine.GetOTPInfo2(0);
    (void)engine.GetInfoBlock().PassCounter();

    firmware::C_FWUpdate& updater = *engine.GetUpdater();
    updater.Init();
    uint16_t version[firmware::kVersionNumbers] = {};
    updater.GetWriterVersion(version);
    std::string text;
    updater.GetWriterVersionString(text);
    updater.GetModeText(text);
    uint16_t first = 0, second = 0;
    updater.GetBootReply(first, second);
    updater.DetectWriterType(&text);
    link.Close();
    return 0;
}
