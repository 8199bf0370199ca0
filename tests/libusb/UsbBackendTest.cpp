// The usb backend on its own, over simulated writers presented through
// umockdev: which devices it lists and under which paths, and what its
// device-control requests put on the control pipe.
#include "tests/libusb/UsbFixture.h"

#include "sim/Descriptors.h"

#include <gtest/gtest.h>

namespace libusbtest {
namespace {

using Outcome = port::DeviceHandle::Outcome;

class UsbBackend : public UsbTest {
protected:
    std::vector<std::string> Members() {
        std::vector<std::string> paths;
        for (uint32_t member = 0; member < 100; ++member) {
            std::string path;
            if (io->InterfaceMember(port::kWriterInterfaceClass, member, path))
                paths.push_back(path);
        }
        return paths;
    }
};

TEST_F(UsbBackend, ListsWritersOfTheWantedIdsByPortAndSaysWhenNoneMatches) {
    AddWriter(3, 0x00C0FFEE);
    AddWriter(0, 0x12AB34CD);
    sim::WriterConfig foreign; // another maker's device on port 6
    foreign.member = 5;
    foreign.vendorId = 0x1234;
    foreign.productId = 0x5678;
    foreign.serial = 0x5;
    bus->AddWriter(foreign);
    Start();
    EXPECT_EQ(io->Name(), "usb");
    EXPECT_EQ(Members(),
              (std::vector<std::string>{UsbPathOf(0, 0x12AB34CD), UsbPathOf(3, 0x00C0FFEE)}));
    EXPECT_EQ(io->TakeProblem(), "");
    std::string path;
    EXPECT_FALSE(io->InterfaceMember("{00000000-0000-0000-0000-000000000000}", 0, path));
    EXPECT_NE(io->Open(UsbPathOf(3, 0x00C0FFEE)), nullptr);
    EXPECT_NE(io->Open(UsbPathOf(3, 0x00C0FFEE) + "\\PIPE01"), nullptr);
    EXPECT_EQ(io->Open(UsbPathOf(3, 0x00C0FFEE) + "\\PIPE02"), nullptr) << "two pipes only";
    EXPECT_EQ(io->Open(UsbPathOf(1, 0x00C0FFEE)), nullptr);

    // The settings file names the other maker's device too.
    io.reset();
    testsupport::ProgramFolder::Write(folder.SettingsPath(),
                                      "[USB]\nDevices=1234:5678,F055:0B0D\n");
    std::string error;
    io = port::CreateDeviceIo("usb", error);
    ASSERT_NE(io, nullptr) << error;
    const auto listed = Members();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[2], "\\\\?\\usb#vid_1234&pid_5678#bus1-port6&sn_00000005"
                         "#{5795843b-6684-43a4-81ee-d2dd1b5594b6}");

    // The environment wins, and nothing has its ids.
    io.reset();
    testsupport::ScopedEnvironment ids("BURNWRIGHT_USB_IDS", "0001:0002");
    io = port::CreateDeviceIo("usb", error);
    ASSERT_NE(io, nullptr) << error;
    EXPECT_TRUE(Members().empty());
    EXPECT_EQ(io->TakeProblem(), "No USB device with the writer's ids (0001:0002) is present. "
                                 "The ids come from BURNWRIGHT_USB_IDS.");
    EXPECT_EQ(io->TakeProblem(), "") << "told once";

    io.reset();
    testsupport::ScopedEnvironment badIds("BURNWRIGHT_USB_IDS", "f055");
    EXPECT_EQ(port::CreateDeviceIo("usb", error), nullptr);
    EXPECT_EQ(error, "BURNWRIGHT_USB_IDS: \"f055\" is not a list of vendor:product ids of four "
                     "hexadecimal digits each, separated by commas (e.g. 1234:abcd,1234:abce).");
}

TEST_F(UsbBackend, ControlCodesPutTheDriversRequestsOnTheControlPipe) {
    AddWriter(0, 0x77);
    Start();
    auto device = io->Open(UsbPathOf(0, 0x77));
    ASSERT_NE(device, nullptr);
    // Vendor OUT: request-type bits 0x03, request 0x5A, value 0x1234, index 2,
    // four data bytes. The writer answers no vendor request: it stalls.
    const std::vector<uint8_t> out = {0x03, 0x5A, 0, 0, 0x34, 0x12, 0,    0,    0x02, 0, 0, 0,
                                      4,    0,    0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0,    0, 0, 0};
    size_t returned = 99;
    EXPECT_EQ(device->Control(port::kControlVendorOut, out.data(), out.size(), nullptr, 0, 1000,
                              returned),
              Outcome::Failed);
    EXPECT_EQ(returned, 0u);
    std::vector<uint8_t> in = {0x1F, 0x07, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0};
    in.resize(24);
    std::vector<uint8_t> answer(24);
    EXPECT_EQ(device->Control(port::kControlVendorIn, in.data(), in.size(), answer.data(),
                              answer.size(), 1000, returned),
              Outcome::Failed);
    // A data length beyond the block never reaches the device.
    std::vector<uint8_t> tooLong = out;
    tooLong[12] = 9;
    EXPECT_EQ(device->Control(port::kControlVendorOut, tooLong.data(), tooLong.size(), nullptr, 0,
                              1000, returned),
              Outcome::Failed);
    const auto requests = testbed->Device(0)->ControlRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].requestType, 0x43);
    EXPECT_EQ(requests[0].request, 0x5A);
    EXPECT_EQ(requests[0].value, 0x1234);
    EXPECT_EQ(requests[0].index, 2);
    EXPECT_EQ(requests[0].length, 4);
    EXPECT_EQ(requests[0].data, (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(requests[1].requestType, 0xDF);
    EXPECT_EQ(requests[1].request, 0x07);
    EXPECT_EQ(requests[1].value, 1);
    EXPECT_EQ(requests[1].length, 8);

    std::vector<uint8_t> descriptor(64);
    ASSERT_EQ(device->Control(port::kControlGetConfigDescriptor, nullptr, 0, descriptor.data(),
                              descriptor.size(), 1000, returned),
              Outcome::Done);
    descriptor.resize(returned);
    EXPECT_EQ(descriptor, (std::vector<uint8_t>{9, 2, 32,   0, 1,  1,    0, 0x80, 50, //
                                                9, 4, 0,    0, 2,  0xFF, 0, 0,    0,  //
                                                7, 5, 0x81, 2, 64, 0,    0,           //
                                                7, 5, 0x02, 2, 64, 0,    0}));
    EXPECT_EQ(device->Control(port::kControlGetConfigDescriptor, nullptr, 0, descriptor.data(), 31,
                              1000, returned),
              Outcome::Failed)
        << "a buffer shorter than the descriptor";

    EXPECT_EQ(device->Control(port::kControlResetPipe, nullptr, 0, nullptr, 0, 1000, returned),
              Outcome::Failed)
        << "the device handle has no pipe";
    auto pipe = io->Open(UsbPathOf(0, 0x77) + "\\PIPE00");
    ASSERT_NE(pipe, nullptr);
    const uint64_t cleared = testbed->Device(0)->Counters().clearHalts;
    EXPECT_EQ(pipe->Control(port::kControlResetPipe, nullptr, 0, nullptr, 0, 1000, returned),
              Outcome::Done);
    EXPECT_EQ(testbed->Device(0)->Counters().clearHalts, cleared + 1);
    EXPECT_EQ(pipe->Control(port::kControlResetDevice, nullptr, 0, nullptr, 0, 1000, returned),
              Outcome::Done);
    EXPECT_EQ(pipe->Control(0x220014, nullptr, 0, nullptr, 0, 1000, returned), Outcome::Failed);
}

} // namespace
} // namespace libusbtest
