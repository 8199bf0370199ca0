// Which devices the usb backend takes for writers, and the paths it gives
// them: plain text handling, no device needed.
#include "port/usb/UsbIds.h"
#include "port/usb/UsbPath.h"
#include "tests/support/Environment.h"
#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

namespace {

TEST(UsbIds, ListsReadAndBadTextIsRefusedWithItsReason) {
    std::vector<port::UsbId> ids;
    std::string error;
    ASSERT_TRUE(port::ParseUsbIds(" F055:0b0d ,1234:ABCD", ids, error)) << error;
    EXPECT_EQ(ids, (std::vector<port::UsbId>{{0xf055, 0x0b0d}, {0x1234, 0xabcd}}));
    EXPECT_EQ(port::FormatUsbIds(ids), "f055:0b0d, 1234:abcd");
    for (const char* bad : {"", "f055", "f055:b0d", "f055:0b0d,", "f055:0b0d;1234:abcd",
                            "f055:0b0dd", "g055:0b0d", "0x55:0b0d"}) {
        EXPECT_FALSE(port::ParseUsbIds(bad, ids, error)) << bad;
        EXPECT_EQ(error, "\"" + std::string(bad) +
                             "\" is not a list of vendor:product ids of four hexadecimal digits "
                             "each, separated by commas (e.g. 1234:abcd,1234:abce).");
        EXPECT_TRUE(ids.empty());
    }
}

TEST(UsbIds, EnvironmentWinsOverTheSettingsFileWhichWinsOverTheDefault) {
    testsupport::ProgramFolder folder;
    testsupport::ScopedEnvironment noIds("BURNWRIGHT_USB_IDS", nullptr);
    EXPECT_EQ(port::ProgramSettingsPath(), folder.SettingsPath());
    port::UsbIdSelection chosen;
    std::string error;
    ASSERT_TRUE(port::SelectUsbIds(folder.SettingsPath(), chosen, error));
    EXPECT_EQ(chosen.source, port::UsbIdSource::Default);
    EXPECT_EQ(chosen.ids, (std::vector<port::UsbId>{port::kSimulatedWriterUsbId}));
    EXPECT_EQ(port::NoMatchingDeviceText(chosen),
              "No USB device with the writer's ids (f055:0b0d) is present. These are the "
              "simulated writer's ids, the default: set the real writer's ids in the settings "
              "file (section \"USB\", key \"Devices\", e.g. Devices=VVVV:PPPP) or in "
              "BURNWRIGHT_USB_IDS.");

    testsupport::ProgramFolder::Write(folder.SettingsPath(), "[USB]\nDevices=1234:5678\n");
    ASSERT_TRUE(port::SelectUsbIds(folder.SettingsPath(), chosen, error));
    EXPECT_EQ(chosen.source, port::UsbIdSource::SettingsFile);
    EXPECT_EQ(port::NoMatchingDeviceText(chosen),
              "No USB device with the writer's ids (1234:5678) is present. The ids come from "
              "the settings file (section \"USB\", key \"Devices\").");

    testsupport::ScopedEnvironment ids("BURNWRIGHT_USB_IDS", "abcd:0001");
    ASSERT_TRUE(port::SelectUsbIds(folder.SettingsPath(), chosen, error));
    EXPECT_EQ(chosen.source, port::UsbIdSource::Environment);
    EXPECT_EQ(chosen.ids, (std::vector<port::UsbId>{{0xabcd, 0x0001}}));

    testsupport::ScopedEnvironment badIds("BURNWRIGHT_USB_IDS", "abcd");
    EXPECT_FALSE(port::SelectUsbIds(folder.SettingsPath(), chosen, error));
    EXPECT_EQ(error.substr(0, 28), "BURNWRIGHT_USB_IDS: \"abcd\" i");
    testsupport::ScopedEnvironment noIdsAgain("BURNWRIGHT_USB_IDS", nullptr);
    testsupport::ProgramFolder::Write(folder.SettingsPath(), "[USB]\nDevices=1234-5678\n");
    EXPECT_FALSE(port::SelectUsbIds(folder.SettingsPath(), chosen, error));
    EXPECT_EQ(error, "The settings file " + folder.SettingsPath() +
                         ", section \"USB\", key \"Devices\": \"1234-5678\" is not a list of "
                         "vendor:product ids of four hexadecimal digits each, separated by "
                         "commas (e.g. 1234:abcd,1234:abce).");
}

TEST(UsbPath, NamesThePortAndSerialInTheInterfacePathShape) {
    port::UsbLocation where;
    where.bus = 3;
    where.ports = {2, 14};
    EXPECT_EQ(port::UsbInterfacePath({0xF055, 0x0B0D}, where),
              "\\\\?\\usb#vid_f055&pid_0b0d#bus3-port2.14#{5795843b-6684-43a4-81ee-d2dd1b5594b6}");
    where.serial = "Ab#1{x}";
    EXPECT_EQ(port::UsbInterfacePath({0xF055, 0x0B0D}, where),
              "\\\\?\\usb#vid_f055&pid_0b0d#bus3-port2.14&sn_ab_1_x_"
              "#{5795843b-6684-43a4-81ee-d2dd1b5594b6}");
    EXPECT_EQ(port::UsbLocationText(where), "USB bus 3 port 2.14");
    EXPECT_EQ(port::UsbSysfsName(where), "3-2.14");
    // Pipe names as the writer's driver reads them: the last run of digits.
    EXPECT_EQ(port::PipeIndexOfName("\\PIPE00"), 0u);
    EXPECT_EQ(port::PipeIndexOfName("\\PIPE01"), 1u);
    EXPECT_EQ(port::PipeIndexOfName("\\X1Y"), 1u);
    EXPECT_EQ(port::PipeIndexOfName("\\PIPE05"), 5u);
    EXPECT_FALSE(port::PipeIndexOfName("\\PIPE06"));
    EXPECT_FALSE(port::PipeIndexOfName("\\PIPE"));
    EXPECT_FALSE(port::PipeIndexOfName("\\P99999999999999999999"));
}

} // namespace
