// The logging transfer object: the exact USB trace entries around each
// transfer, the log switch, and the access-delay key on first use.
#include "tests/usb/LinkFixture.h"

#include "usb/LogWireLib.h"

#include "core/Profiler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace usbtest {
namespace {

class LogWireLibTest : public LinkTest {
protected:
    void Settings(const std::string& general) {
        testsupport::ProgramFolder::Write(folder.SettingsPath(), "[General]\n" + general);
    }
    std::string LogPath() const { return folder.File("Burnwright.exeLogUSB.txt"); }
    // The log with its time stamps replaced by "T".
    std::string LogWithoutTimes() const {
        static const std::regex stamp("\t\t [0-9]{2}:[0-9]{2}:[0-9]{2}\t\t");
        return std::regex_replace(testsupport::ProgramFolder::Read(LogPath()), stamp, "|T|");
    }
    std::string Key(const char* key) {
        return core::C_Profiler(folder.SettingsPath()).GetString(core::settings::kGeneral, key);
    }
};

std::vector<uint8_t> Counting(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i + 1);
    return bytes;
}

TEST_F(LogWireLibTest, WriteAndReadEntriesAppearExactlyAroundEachTransfer) {
    Settings("LogUSBEn=1\n");
    auto& w = io.AddWriter(0, "A");
    const auto packet = Counting(64);
    w.ExpectWrite(packet).ExpectRead(Reply(16, {0xAB, 0xCD, 0x00, 0xEF}));
    usb::C_LogWIRELIB wire(&io, clock);
    EXPECT_EQ(wire.USB_Write(w.Path(), packet.data(), packet.size()), 1);
    uint8_t reply[16];
    EXPECT_EQ(wire.USB_Read(w.Path(), reply, 16), 1);
    EXPECT_EQ(LogWithoutTimes(), "\r\n\r\nStart\tUSB_Write() \r\n\t\tData[0x40]:\r\n\t\t"
                                 "01 02 03 04 05 06 07 08 - 09 0A 0B 0C 0D 0E 0F 10 |T|"
                                 "\r\nEnd\t\tUSB_Write()|T|"
                                 "\r\n\r\nStart\tUSB_Read(Size:0x10)|T|"
                                 "\r\nEnd\t\tUSB_Read() \r\n\t\tData[0x10]:\r\n\t\t"
                                 "AB CD 00 EF 00 00 00 00 - 00 00 00 00 00 00 00 00 |T|");
}

TEST_F(LogWireLibTest, FailedReadLogsTheZeroedBufferWithTheRequestedSize) {
    Settings("LogUSBEn=1\n");
    auto& w = io.AddWriter(0, "A");
    w.ExpectRead(Bytes({1, 2}), 0x40);
    usb::C_LogWIRELIB wire(&io, clock);
    uint8_t reply[64];
    std::fill(std::begin(reply), std::end(reply), 0x77);
    EXPECT_EQ(wire.USB_Read(w.Path(), reply, 64), 0);
    EXPECT_EQ(LogWithoutTimes(), "\r\n\r\nStart\tUSB_Read(Size:0x40)|T|"
                                 "\r\nEnd\t\tUSB_Read() \r\n\t\tData[0x40]:\r\n\t\t"
                                 "00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00 |T|");
}

TEST_F(LogWireLibTest, DumpOfAShortBufferReadsOnlyItsBytes) {
    // Bytes past the count are never read: they show as 00.
    const uint8_t three[] = {0xF1, 0xF2, 0xF3};
    EXPECT_EQ(usb::C_LogWIRELIB::WriteStartEntry(three, 3),
              "\n\nStart\tUSB_Write() \n\t\tData[0x3]:\n\t\t"
              "F1 F2 F3 00 00 00 00 00 - 00 00 00 00 00 00 00 00 ");
    const uint8_t one = 0x51;
    EXPECT_EQ(usb::C_LogWIRELIB::ReadEndEntry(&one, 1),
              "\nEnd\t\tUSB_Read() \n\t\tData[0x1]:\n\t\t"
              "51 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00 ");
    const auto big = Counting(0x1000);
    EXPECT_EQ(usb::C_LogWIRELIB::WriteStartEntry(big.data(), big.size()),
              "\n\nStart\tUSB_Write() \n\t\tData[0x1000]:\n\t\t"
              "01 02 03 04 05 06 07 08 - 09 0A 0B 0C 0D 0E 0F 10 ");
}

TEST_F(LogWireLibTest, NoLogFileWhileTheSwitchIsOffOrMissing) {
    for (const char* settings : {"LogUSBEn=0\n", ""}) {
        Settings(settings);
        auto& w = io.AddWriter(0, "A");
        w.ExpectWrite(Bytes({1}));
        usb::C_LogWIRELIB wire(&io, clock);
        const uint8_t one = 1;
        EXPECT_EQ(wire.USB_Write(w.Path(), &one, 1), 1);
        EXPECT_FALSE(std::filesystem::exists(LogPath())) << "settings: " << settings;
    }
}

TEST_F(LogWireLibTest, AccessDelayIsDroppedAndRewrittenAsZeroOnCurrentSystems) {
    Settings("USBAccessDelay=30\n");
    auto& w = io.AddWriter(0, "A");
    w.ExpectWrite(Bytes({1})).ExpectWrite(Bytes({1}));
    usb::C_LogWIRELIB wire(&io, clock);
    wire.SetSystemMajorVersion(6);
    const uint8_t one = 1;
    EXPECT_EQ(Key("USBAccessDelay"), "30") << "nothing happens before the first transfer";
    wire.USB_Write(w.Path(), &one, 1);
    EXPECT_EQ(Key("USBAccessDelay"), "0");
    EXPECT_EQ(wire.GetAccessDelay(), 0);
    Settings("USBAccessDelay=40\n");
    wire.USB_Write(w.Path(), &one, 1);
    EXPECT_EQ(Key("USBAccessDelay"), "40") << "the key is read on the first transfer only";
    EXPECT_EQ(clock.SleptMs(), 0u) << "no transfer waits on the delay";
}

TEST_F(LogWireLibTest, AccessDelayKeyIsLeftAloneOnOlderSystems) {
    Settings("USBAccessDelay=30\n");
    auto& w = io.AddWriter(0, "A");
    w.ExpectRead(Bytes({1}));
    usb::C_LogWIRELIB wire(&io, clock);
    wire.SetSystemMajorVersion(5);
    uint8_t byte = 0;
    wire.USB_Read(w.Path(), &byte, 1);
    EXPECT_EQ(Key("USBAccessDelay"), "30");
    EXPECT_EQ(wire.GetAccessDelay(), 0);
}

} // namespace
} // namespace usbtest
