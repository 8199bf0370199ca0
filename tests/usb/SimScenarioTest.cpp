// The link against the simulated writer, reached through the "sim" backend
// (the writer's driver in the user-mode kernel): detection for both users,
// claims held by another process, transport faults and a writer that leaves in
// the middle of a transfer. The kernel's verifier must find nothing.
#include "tests/usb/LinkFixture.h"
#include "tests/usb/OtherProcess.h"

#include "usb/USBInfo.h"

#include "driver/simstack/KernelStack.h"
#include "sim/Bus.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sys/wait.h>

namespace usbtest {
namespace {

class SimScenarioTest : public LinkTest {
protected:
    std::shared_ptr<sim::Writer> AddWriter(uint32_t member, uint8_t deviceType = 7) {
        sim::WriterConfig config;
        config.member = member;
        config.deviceType = deviceType;
        return bus->AddWriter(config);
    }
    void TearDown() override {
        usb::SetUnlimitedWait(false);
        simIo.Settle();
        for (const auto& finding : simIo.Findings())
            ADD_FAILURE() << "verifier: " << kshim::CheckName(finding.check) << ": "
                          << finding.detail;
        LinkTest::TearDown();
    }

    std::shared_ptr<sim::Bus> bus = std::make_shared<sim::Bus>(clock);
    driver::simstack::KernelStack simIo{bus};
    usb::C_USBInfo link{&simIo, clock, result};
    const std::vector<uint8_t> statusQuery = QueryRequest(0x30);
};

TEST_F(SimScenarioTest, WriterOfTheFamilyIsFoundForTheEngineAndTheUpdater) {
    for (uint8_t deviceType : {6, 7}) {
        auto writer = AddWriter(3, deviceType);
        usb::C_USBInfo probe(&simIo, clock, result);
        probe.SetBodyType(usb::kIceBodyWriter);
        EXPECT_EQ(probe.Open(), 1) << probe.GetMessage();
        EXPECT_EQ(probe.GetDevicePath(), writer->InterfacePath());
        EXPECT_EQ(probe.GetLastDeviceType(), deviceType);
        probe.SetBodyType(usb::kIceBodyFirmwareUpdate);
        EXPECT_EQ(probe.Open(), 1) << probe.GetMessage();
        probe.SetBodyType(usb::eMultiICEBODY_CHECK_TYPE);
        EXPECT_EQ(probe.FindAnyWriter(), 0) << "the updater's search leaves types 6 and 7 alone";
        EXPECT_FALSE(probe.HoldsDeviceLock());
        bus->RemoveWriter(3);
    }
}

TEST_F(SimScenarioTest, OtherBodyTypesAreRefusedWithTheWrongIcText) {
    AddWriter(0, 7);
    link.SetBodyType(9);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(link.GetMessage(), "Select the wrong IC,Please check!");
    link.SetBodyType(3);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(link.GetMessage(), "Select the wrong IC,Please check!");
}

TEST_F(SimScenarioTest, SecondWriterIsUsedWhileAnotherProcessHoldsTheFirst) {
    auto first = AddWriter(0);
    auto second = AddWriter(5);
    MutexHolderProcess other(usb::DeviceMutexName(first->InterfacePath()));
    ASSERT_TRUE(other.Holds()) << other.Answer();
    const uint64_t firstBefore = first->TransferCount();
    link.SetBodyType(usb::kIceBodyWriter);
    EXPECT_EQ(link.Open(), 1) << link.GetMessage();
    EXPECT_EQ(link.GetDevicePath(), second->InterfacePath());
    EXPECT_EQ(first->TransferCount(), firstBefore) << "nothing reached the claimed writer";

    // A second process of ours cannot take the writer this link holds.
    MutexHolderProcess late(usb::DeviceMutexName(second->InterfacePath()));
    EXPECT_EQ(late.Answer(), "refused");
}

TEST_F(SimScenarioTest, UnplugInTheMiddleOfATransferClosesTheLinkAndTheWriterIsFoundAgain) {
    auto writer = AddWriter(2);
    link.SetBodyType(usb::kIceBodyWriter);
    ASSERT_EQ(link.Open(), 1);
    uint8_t reply[64];
    ASSERT_EQ(link.Write(statusQuery.data(), 64), 1);
    ASSERT_EQ(link.Read(reply, 10), 1);

    sim::TransportFault unplug;
    unplug.kind = sim::TransportFaultKind::Unplug;
    unplug.atTransfer = writer->TransferCount() + 1;
    writer->AddTransportFault(unplug);
    EXPECT_EQ(link.Write(statusQuery.data(), 64), 0);
    EXPECT_EQ(link.GetMessage(), "Error!\n\nWrite USB failed. ");
    EXPECT_FALSE(link.IsOpened());
    EXPECT_FALSE(writer->Plugged());

    EXPECT_EQ(link.Write(statusQuery.data(), 64), 0) << "gone: the search finds nothing";
    EXPECT_EQ(link.GetMessage(), "Error!\n\nCan't find MERiL USB device. Please re-plug in it.");

    bus->Plug(2);
    EXPECT_EQ(link.Write(statusQuery.data(), 64), 1) << link.GetMessage();
    EXPECT_TRUE(link.IsOpened());
    EXPECT_EQ(link.Read(reply, 10), 1);
    EXPECT_EQ(clock.SleptMs(), 2000u) << "the search after the missing writer settled first";
}

TEST_F(SimScenarioTest, ShortReadFailsAndTheCallerSeesZeros) {
    auto writer = AddWriter(0);
    link.SetBodyType(usb::kIceBodyWriter);
    ASSERT_EQ(link.Open(), 1);
    sim::TransportFault shortRead;
    shortRead.kind = sim::TransportFaultKind::ShortRead;
    shortRead.atTransfer = writer->TransferCount() + 2;
    shortRead.shortBytes = 3;
    writer->AddTransportFault(shortRead);
    uint8_t reply[64];
    std::fill(std::begin(reply), std::end(reply), 0xCC);
    ASSERT_EQ(link.Write(statusQuery.data(), 64), 1);
    EXPECT_EQ(link.Read(reply, 10), 0);
    EXPECT_EQ(link.GetMessage(), "Error!\n\nRead USB failed. ");
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(reply[i], 0) << "byte " << i;
    EXPECT_EQ(reply[10], 0xCC) << "bytes beyond the count are untouched";
}

TEST_F(SimScenarioTest, ReadThatOutlivesItsLimitTimesOutOnVirtualTime) {
    auto writer = AddWriter(0);
    link.SetBodyType(usb::kIceBodyWriter);
    ASSERT_EQ(link.Open(), 1);
    sim::TransportFault stuck;
    stuck.kind = sim::TransportFaultKind::ReadTimeout;
    stuck.atTransfer = writer->TransferCount() + 2;
    writer->AddTransportFault(stuck);
    const uint64_t before = clock.NowMs();
    uint8_t reply[64];
    ASSERT_EQ(link.Write(statusQuery.data(), 64), 1);
    EXPECT_EQ(link.Read(reply, 10), 0);
    EXPECT_EQ(link.GetMessage(), "Error!\n\nRead USB timeout. ");
    EXPECT_EQ(clock.NowMs() - before, 3000u) << "a packet waits 3000 ms";
}

TEST_F(SimScenarioTest, DetectionCaptureOpensInTshark) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed";
    AddWriter(0);
    const std::string capture = folder.File("detection.pcap");
    std::string error;
    ASSERT_TRUE(bus->StartCapture(capture, error)) << error;
    link.SetBodyType(usb::kIceBodyWriter);
    ASSERT_EQ(link.Open(), 1);
    bus->StopCapture();
    const std::string command = "tshark -r '" + capture + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[512];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
        output.append(chunk, n);
    const int status = ::pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    size_t lines = 0;
    for (char c : output)
        lines += c == '\n';
    // Two detection queries, the level query and the type query, each a
    // write and a read.
    EXPECT_GE(lines, 8u) << output;
}

} // namespace
} // namespace usbtest
