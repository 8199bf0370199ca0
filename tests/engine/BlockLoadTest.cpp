// The writer-buffer load in blocks through a held pipe against the load of one
// packet per transfer: the same packets on the wire (compared in the captures),
// its wire time on both routes, LINKPOD's stages carrying it, and a write that
// fails part-way.
#include "core/Profiler.h"
#include "driver/simstack/KernelStack.h"
#include "engine/OTP.h"
#include "sim/Bus.h"
#include "sim/SimDeviceIo.h"
#include "tests/engine/EngineFixture.h"
#include "usb/USBInfo.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

namespace enginetest {
namespace {

using namespace engine;

struct WirePacket {
    uint8_t endpoint;
    std::vector<uint8_t> bytes;
    bool operator==(const WirePacket&) const = default;
};

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Every 64-byte packet the capture shows in order: the data of OUT submissions
// and IN completions, cut as the bus cuts it (a shorter last piece is a short
// packet).
std::vector<WirePacket> PacketsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    std::vector<WirePacket> packets;
    for (size_t at = 24; at + 16 + 64 <= file.size();) {
        const uint8_t* usb = &file[at + 16];
        const uint32_t captured = Le32(usb + 36);
        const char kind = char(usb[8]);
        const uint8_t endpoint = usb[10];
        const uint8_t* data = usb + 64;
        if ((kind == 'S' && endpoint == 0x02) || (kind == 'C' && endpoint == 0x81))
            for (uint32_t i = 0; i < captured; i += 64)
                packets.push_back(
                    {endpoint, std::vector<uint8_t>(data + i, data + std::min(captured, i + 64))});
        at += 16 + 64 + captured;
    }
    return packets;
}

class BlockLoad : public testsupport::ProgramFolderTest {
protected:
    // Through LINKPOD when `stage` is not 0 (its transfer limit), else direct.
    void Start(uint32_t stage) {
        WriteTestProfile(folder);
        bus = std::make_shared<sim::Bus>(clock);
        sim::WriterConfig config;
        config.instance = "7&b1&" + std::to_string(std::random_device{}()) + "&0";
        writer = bus->AddWriterWithChips(config);
        sim::WireSettings wire;
        wire.on = true;
        bus->SetWireSettings(wire);
        if (stage) {
            driver::simstack::KernelStack::Options options;
            options.maximumTransferSize = stage;
            stack = std::make_unique<driver::simstack::KernelStack>(bus, options);
            io = stack.get();
        } else {
            direct = std::make_unique<sim::SimDeviceIo>(bus);
            io = direct.get();
        }
        link = std::make_unique<usb::C_USBInfo>(io, clock, result);
        otp = std::make_unique<C_OTP>(*link, clock, result);
        link->SetBodyType(usb::kIceBodyWriter);
        otp->SelectBody(1);
        std::vector<uint8_t> words(10000);
        for (size_t i = 0; i < words.size(); ++i)
            words[i] = uint8_t(i * 7 + 1);
        otp->ReplaceImage(std::make_unique<FakeImage>(words, 0, 9999));
        ASSERT_EQ(otp->ScanSockets(), 1);
        ASSERT_EQ(otp->ResetSocketStates(), 1);
    }

    void TearDown() override {
        otp.reset();
        link.reset();
        if (stack) {
            stack->Settle();
            for (const auto& finding : stack->Findings())
                ADD_FAILURE() << "verifier: " << kshim::CheckName(finding.check) << ": "
                              << finding.detail;
        }
        stack.reset();
        direct.reset();
    }

    void SetBlock(int bytes) {
        core::C_Profiler().WriteInt(core::settings::kGeneral, core::settings::kLoadBlockBytes,
                                    bytes);
    }

    // Loads once into a capture of its own; the wire milliseconds it took.
    uint64_t CapturedLoad(const std::string& name) {
        std::string error;
        EXPECT_TRUE(bus->StartCapture(folder.File(name), error)) << error;
        const uint64_t before = bus->Wire().NowMs();
        EXPECT_EQ(otp->LoadBuffer(), 1) << otp->GetMessage();
        bus->StopCapture();
        EXPECT_EQ(writer->BufferOf(3).size(), 10240u);
        return bus->Wire().NowMs() - before;
    }

    core::C_Result result;
    port::ManualClock clock;
    std::shared_ptr<sim::Bus> bus;
    std::shared_ptr<sim::Writer> writer;
    std::unique_ptr<driver::simstack::KernelStack> stack;
    std::unique_ptr<sim::SimDeviceIo> direct;
    port::DeviceIo* io = nullptr;
    std::unique_ptr<usb::C_USBInfo> link;
    std::unique_ptr<C_OTP> otp;
};

// 10000 bytes load as 10240: 160 packets. The command, mask and status
// exchange are four transfers of one packet each: 2 ms apiece with the
// turnaround.
TEST_F(BlockLoad, DirectBlockLoadPutsThePerPacketLoadsPacketsOnTheWire) {
    Start(0);
    const uint64_t perPacket = CapturedLoad("packets.pcap");
    const auto expected = PacketsOf(folder.File("packets.pcap"));
    ASSERT_EQ(expected.size(), 164u);
    EXPECT_EQ(perPacket, 164u * 2);

    SetBlock(65536 + 10); // whole packets: 65536
    EXPECT_EQ(CapturedLoad("block.pcap"), 4u * 2 + 1 + 9);
    EXPECT_EQ(PacketsOf(folder.File("block.pcap")), expected);
    EXPECT_EQ(clock.NowMs(), bus->Wire().NowMs()) << "wire time is taken on the bus clock";
}

TEST_F(BlockLoad, LinkPodStagesTheBlocksIntoTheSamePackets) {
    Start(1000); // stages of 960 bytes, 15 packets: one frame each
    const uint64_t perPacket = CapturedLoad("packets.pcap");
    const auto expected = PacketsOf(folder.File("packets.pcap"));
    ASSERT_EQ(expected.size(), 164u);
    EXPECT_EQ(perPacket, 164u * 2);

    SetBlock(4096);
    const uint64_t transfersBefore = stack->BusTransfers();
    // Three writes of 4096, 4096 and 2048 bytes: 5 + 5 + 3 stages.
    EXPECT_EQ(CapturedLoad("block.pcap"), 4u * 2 + 3 * 1 + 13);
    EXPECT_EQ(stack->BusTransfers() - transfersBefore, 4u + 13);
    EXPECT_EQ(PacketsOf(folder.File("block.pcap")), expected);
}

TEST_F(BlockLoad, FailedWriteEndsTheLoadWithTheBufferIncomplete) {
    Start(1000);
    SetBlock(4096);
    // The second stage of the first block fails on the bus.
    sim::TransportFault fault;
    fault.kind = sim::TransportFaultKind::WriteFails;
    fault.atTransfer = writer->TransferCount() + 4;
    writer->AddTransportFault(fault);
    EXPECT_EQ(otp->LoadBuffer(), 0);
    EXPECT_EQ(otp->GetMessage(), "Error!\n\nWrite USB failed. ");
    EXPECT_EQ(writer->TransferCount(), fault.atTransfer) << "nothing is sent after the failure";
    EXPECT_EQ(writer->StateOf(0), sim::SocketState::Busy) << "the writer still waits for data";
    EXPECT_FALSE(link->Transfer().HoldsWritePipe());

    // The next read ends the writer's wait: the load fails its sockets.
    otp->ReadStatus();
    EXPECT_EQ(writer->StateOf(0), sim::SocketState::Fail);
}

} // namespace
} // namespace enginetest
