// A whole load and pass over 16 sockets through libusb: the same bytes cross
// as on the in-process route, and the chips hold the image.
#include "tests/libusb/UsbFixture.h"

#include "engine/OTP.h"
#include "sim/SimDeviceIo.h"
#include "usb/USBInfo.h"

#include <gtest/gtest.h>

namespace libusbtest {
namespace {

constexpr int kBody = 12;

// The capture with its time stamps blanked: what crossed, in order.
std::string Transfers(const std::string& capture) {
    std::string bytes = capture;
    size_t at = 24; // the file header
    while (at + 16 <= bytes.size()) {
        const uint32_t length = uint8_t(bytes[at + 8]) | uint8_t(bytes[at + 9]) << 8 |
                                uint8_t(bytes[at + 10]) << 16 |
                                uint32_t(uint8_t(bytes[at + 11])) << 24;
        std::fill(bytes.begin() + at, bytes.begin() + at + 8, '\0');                 // record time
        std::fill(bytes.begin() + at + 16 + 16, bytes.begin() + at + 16 + 28, '\0'); // usbmon time
        at += 16 + length;
    }
    return bytes;
}

class UsbPass : public UsbTest {
protected:
    void TearDown() override {
        usb::SetUnlimitedWait(false);
        UsbTest::TearDown();
    }

    // Attach, load, verify the buffer, blank check, program and verify, as
    // the window's pass does, on `route`.
    void RunPass(port::DeviceIo& route, sim::Writer& writer) {
        usb::C_USBInfo link(&route, clock, result);
        engine::C_OTP otp(link, clock, result);
        link.SetBodyType(usb::kIceBodyWriter);
        otp.SelectBody(kBody);
        ASSERT_EQ(otp.GetImage()->SetFileName(image), 1);
        ASSERT_EQ(otp.ScanSockets(), 1) << otp.GetMessage();
        ASSERT_EQ(otp.ReadStatus(), 1);
        ASSERT_EQ(otp.ResetSocketStates(), 1);
        ASSERT_EQ(otp.LoadBuffer(), 1) << otp.GetMessage();
        ASSERT_EQ(otp.VerifyBuffer(kBody), 1);
        otp.SelectPassed(0);
        ASSERT_EQ(otp.BlankCheckOTP(), 1);
        otp.SelectPassed(1);
        ASSERT_EQ(otp.ProgramOTP(), 1);
        otp.SelectPassed(1);
        ASSERT_EQ(otp.VerifyOTP(), 1);
        EXPECT_EQ(otp.CountSockets(engine::kSocketOK), 16);
        expected = Body12Chip(*otp.GetImage());
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(writer.ChipAt(i)->Contents(), expected) << "socket " << i;
    }

    std::string image = WriteBody12Image(folder, "pass.bin");
    std::vector<uint8_t> expected;
};

TEST_F(UsbPass, LoadAndPassOfSixteenSocketsCarryTheInProcessRoutesBytes) {
    std::string error;
    // The in-process route, on a bus of the same identity with the same writer.
    auto direct = std::make_shared<sim::Bus>(clock, bus->Identity());
    sim::WriterConfig config;
    config.member = 0;
    config.serial = 0xBEEF;
    auto directWriter = direct->AddWriterWithChips(config);
    ASSERT_TRUE(direct->StartCapture(folder.File("direct.pcap"), error)) << error;
    {
        sim::SimDeviceIo route(direct);
        RunPass(route, *directWriter);
    }
    direct->StopCapture();

    auto writer = AddWriter(0, 0xBEEF);
    ASSERT_TRUE(bus->StartCapture(folder.File("usb.pcap"), error)) << error;
    Start();
    RunPass(*io, *writer);
    bus->StopCapture();

    const std::string through =
        Transfers(testsupport::ProgramFolder::Read(folder.File("usb.pcap")));
    const std::string inProcess =
        Transfers(testsupport::ProgramFolder::Read(folder.File("direct.pcap")));
    EXPECT_GT(through.size(), 16u * 1024) << "the load's bytes are in the capture";
    EXPECT_TRUE(through == inProcess) << "the captures differ: " << through.size() << " bytes "
                                      << "through libusb, " << inProcess.size() << " in-process";
    const auto counters = testbed->Device(0)->Counters();
    EXPECT_EQ(counters.bulkUrbs, writer->TransferCount()) << "each transfer was one bulk URB";
}

} // namespace
} // namespace libusbtest
