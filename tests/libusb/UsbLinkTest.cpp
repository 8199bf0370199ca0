// The writer link over the usb backend: the transfer outcomes with their
// codes and texts, a stalled pipe, and writers held by someone else.
#include "tests/libusb/UsbFixture.h"

#include "usb/USBInfo.h"

#include <gtest/gtest.h>

#include <thread>

namespace libusbtest {
namespace {

class UsbLink : public UsbTest {
protected:
    void Open() {
        Start();
        link = std::make_unique<usb::C_USBInfo>(io.get(), clock, result);
        link->SetBodyType(usb::kIceBodyWriter);
        ASSERT_EQ(link->Open(), 1) << link->GetMessage();
    }
    void TearDown() override {
        link.reset();
        UsbTest::TearDown();
    }
    // One fault on the writer's next transfer.
    void Next(sim::TransportFaultKind kind) {
        sim::TransportFault fault;
        fault.kind = kind;
        fault.atTransfer = writer->TransferCount() + 1;
        writer->AddTransportFault(fault);
    }
    int Write() {
        const auto query = usb::QueryPacket(0x30);
        return link->Transfer().USB_Write(link->GetDevicePath(), query.data(), query.size());
    }
    int Read(size_t size = 10) {
        uint8_t reply[64];
        return link->Transfer().USB_Read(link->GetDevicePath(), reply, size);
    }

    std::shared_ptr<sim::Writer> writer = AddWriter(0, 0xA1);
    std::unique_ptr<usb::C_USBInfo> link;
};

TEST_F(UsbLink, TimeoutsAndAFailedWriteGiveTheirCodesAndTexts) {
    Open();
    // A short limit that the transfer honours: the writer holds the
    // transfer, so only the limit can end it.
    link->Transfer().SetTimeout(30);
    ASSERT_EQ(Write(), 1);
    Next(sim::TransportFaultKind::ReadTimeout);
    EXPECT_EQ(Read(), 0);
    EXPECT_EQ(link->Transfer().GetErrorCode(), 3);
    EXPECT_EQ(link->Transfer().GetErrorText(), "Error!\n\nRead USB timeout. ");
    EXPECT_EQ(testbed->Device(0)->Counters().discards, 1u) << "the read was taken back";

    Next(sim::TransportFaultKind::WriteTimeout);
    EXPECT_EQ(Write(), 0);
    EXPECT_EQ(link->Transfer().GetErrorText(), "Error!\n\nWrite USB timeout. ");

    Next(sim::TransportFaultKind::WriteFails);
    EXPECT_EQ(Write(), 0);
    EXPECT_EQ(link->Transfer().GetErrorCode(), 2);
    EXPECT_EQ(link->Transfer().GetErrorText(), "Error!\n\nWrite USB failed. ");

    // A read that delivers less than asked fails too.
    ASSERT_EQ(Write(), 1);
    sim::TransportFault shortRead;
    shortRead.kind = sim::TransportFaultKind::ShortRead;
    shortRead.atTransfer = writer->TransferCount() + 1;
    shortRead.shortBytes = 3;
    writer->AddTransportFault(shortRead);
    EXPECT_EQ(Read(), 0);
    EXPECT_EQ(link->Transfer().GetErrorText(), "Error!\n\nRead USB failed. ");

    // Without a limit, a read the writer holds ends when another thread
    // cancels it.
    ASSERT_EQ(Write(), 1);
    Next(sim::TransportFaultKind::ReadTimeout);
    auto pipe = io->Open(link->GetDevicePath() + "\\PIPE00");
    ASSERT_NE(pipe, nullptr);
    const uint64_t urbs = testbed->Device(0)->Counters().bulkUrbs;
    std::thread canceller([&] {
        WaitFor([&] { return testbed->Device(0)->Counters().bulkUrbs > urbs; });
        pipe->Cancel();
    });
    size_t moved = 0;
    uint8_t held[64];
    EXPECT_EQ(pipe->Read(held, 10, 0, moved), port::DeviceHandle::Outcome::Failed);
    canceller.join();
    pipe.reset();

    // The link's own packet calls still work after all that.
    ASSERT_EQ(link->Write(usb::QueryPacket(0x30).data(), 64), 1);
    uint8_t reply[64];
    ASSERT_EQ(link->Read(reply, 10), 1);
    EXPECT_EQ(reply[0], 0x02) << "hardware revision";
}

TEST_F(UsbLink, StalledPipeIsClearedSoTheNextExchangeWorks) {
    Open();
    link->Transfer().SetTimeout(1000);
    const uint64_t cleared = testbed->Device(0)->Counters().clearHalts;
    // Nothing to answer: the writer stalls its IN pipe.
    EXPECT_EQ(Read(), 0);
    EXPECT_EQ(link->Transfer().GetErrorText(), "Error!\n\nRead USB failed. ");
    EXPECT_EQ(testbed->Device(0)->Counters().clearHalts, cleared + 1);
    // The halt is gone: a halted endpoint would fail this exchange.
    ASSERT_EQ(Write(), 1);
    EXPECT_EQ(Read(), 1);
}

TEST_F(UsbLink, WriterHeldByAnotherProgramOrAKernelDriverGetsAClearMessage) {
    Start();
    usb::C_USBInfo probe(io.get(), clock, result);
    probe.SetBodyType(usb::kIceBodyWriter);
    testbed->Device(0)->HoldInterface("usbfs"); // another program claimed it
    EXPECT_EQ(probe.Open(), 0);
    EXPECT_EQ(probe.GetMessage(),
              std::string(usb::kUnknownDeviceText) +
                  "\n\nThe writer at USB bus 1 port 1 is held by another program: end that "
                  "program, then try again.");
    EXPECT_EQ(writer->TransferCount(), 0u) << "nothing reached the writer";

    testbed->Device(0)->HoldInterface("usbhid");
    EXPECT_EQ(probe.Open(), 0);
    EXPECT_EQ(probe.GetMessage(),
              std::string(usb::kUnknownDeviceText) +
                  "\n\nThe writer at USB bus 1 port 1 is held by a kernel driver: unbind it from "
                  "the writer's interface, then plug the writer again.");

    testbed->Device(0)->HoldInterface("");
    EXPECT_EQ(probe.Open(), 1) << probe.GetMessage();
}

} // namespace
} // namespace libusbtest
