// The link over the system's own backend on a machine with no writer: the
// device lists are searched for real and the operator gets the link's texts.
#include "tests/support/Environment.h"
#include "tests/support/ProgramFolder.h"

#include "core/Result.h"
#include "port/Clock.h"
#include "port/DeviceIo.h"
#include "usb/USBInfo.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

constexpr const char* kNoWriterText =
    "Error!\n\nCan't find MERiL USB device. Please re-plug in it.";

class Win32LinkTest : public testsupport::ProgramFolderTest {
protected:
    void SetUp() override {
        std::string error;
        io = port::CreateDeviceIo(port::DeviceIoSelectionFromEnvironment(), error);
        ASSERT_TRUE(io) << error;
    }

    testsupport::ScopedEnvironment writer{"BURNWRIGHT_WRITER", nullptr};
    std::unique_ptr<port::DeviceIo> io;
    port::ManualClock clock;
    core::C_Result result;
};

TEST_F(Win32LinkTest, NoWriterIsListedAndNoPathOpens) {
    EXPECT_EQ(io->Name(), "win32");
    std::string path;
    for (uint32_t member = 0; member < 4; ++member)
        EXPECT_FALSE(io->InterfaceMember(port::kWriterInterfaceClass, member, path)) << path;
    const std::string made_up =
        std::string("\\\\?\\usb#vid_0000&pid_0000#1#") + port::kWriterInterfaceClass;
    EXPECT_EQ(io->Open(made_up), nullptr);
    EXPECT_EQ(io->Open(made_up + "\\PIPE00"), nullptr);
    std::atomic<int> events{0};
    io->SetEventHandler([&](port::DeviceEvent, const std::string&) { ++events; });
    io->SetEventHandler(nullptr);
    EXPECT_EQ(events, 0);
}

TEST_F(Win32LinkTest, OpenAndTransfersReportTheMissingWriter) {
    usb::C_USBInfo link(io.get(), clock, result);
    link.SetBodyType(11);
    EXPECT_EQ(link.Open(), 0);
    EXPECT_EQ(link.GetMessage(), kNoWriterText);
    EXPECT_FALSE(link.IsOpened());
    EXPECT_FALSE(link.HoldsDeviceLock());
    uint8_t packet[usb::kPacketSize] = {};
    EXPECT_EQ(link.Write(packet, sizeof packet), 0);
    EXPECT_EQ(link.Read(packet, sizeof packet), 0);
    EXPECT_EQ(link.GetMessage(), kNoWriterText);

    usb::C_USBInfo updater(io.get(), clock, result);
    updater.SetBodyType(usb::eMultiICEBODY_CHECK_TYPE);
    EXPECT_EQ(updater.FindAnyWriter(), 0);
    EXPECT_EQ(updater.GetMessage(), kNoWriterText);
}

} // namespace
