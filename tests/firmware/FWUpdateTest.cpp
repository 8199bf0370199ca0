// The firmware updater over a scripted link: the version exchange, the
// application and boot transfers, retries and the firmware file itself.
#include "firmware/FWUpdate.h"
#include "tests/engine/ScriptedLink.h"
#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

#include <vector>

namespace firmware {
namespace {

using enginetest::Bytes;

// A firmware file: boot block, then the application, with the version at
// 0x6000 when the file is long enough to hold it.
Bytes MakeFirmware(size_t appSize, const Version& version = {1, 2, 3, 4, 5, 6}) {
    Bytes file(kBootSize + appSize);
    for (size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<uint8_t>((i * 13) ^ (i >> 7));
    if (file.size() >= kFileVersionOffset + 12)
        for (size_t i = 0; i < kVersionNumbers; ++i) {
            file[kFileVersionOffset + 2 * i] = static_cast<uint8_t>(version[i] >> 8);
            file[kFileVersionOffset + 2 * i + 1] = static_cast<uint8_t>(version[i]);
        }
    return file;
}

uint32_t Sum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

class FirmwareUpdater : public testsupport::ProgramFolderTest {
protected:
    core::C_Result result;
    port::ManualClock clock;
    enginetest::ScriptedLink link{result};
    C_FWUpdate updater{link, clock, result};

    std::string firmwarePath() { return folder.File(kFirmwareFileName); }

    Bytes UseFirmware(const Bytes& file) {
        testsupport::ProgramFolder::Write(firmwarePath(), std::string(file.begin(), file.end()));
        EXPECT_EQ(updater.GetFirmware().SetFileName(firmwarePath()), 1);
        return file;
    }

    // The application step as the writer sees it: header, data, one-byte answer.
    void ExpectApp(const Bytes& file, bool answered = true) {
        const size_t appSize = file.size() - kBootSize;
        link.ExpectWrite(
            AppHeader(static_cast<uint32_t>(appSize), Sum(file.data() + kBootSize, appSize)));
        if (appSize)
            link.ExpectWrite(Bytes(file.begin() + kBootSize, file.end()));
        link.ExpectRead(Bytes{0x01}, answered);
    }

    void ExpectBoot(const Bytes& file, bool headerOk = true, bool packetsOk = true) {
        link.ExpectWrite(ToBytesHeader(BootHeader(kBootSize, Sum(file.data(), kBootSize))),
                         headerOk);
        if (headerOk)
            link.ExpectWrite(BuildBootPackets(file.data(), kBootSize), packetsOk);
    }

    static Bytes ToBytesHeader(const Packet& p) { return Bytes(p.begin(), p.end()); }
};

TEST_F(FirmwareUpdater, ConstructionSelectsTheUpdateBodyTypeAndDefaults) {
    EXPECT_EQ(link.bodyType, usb::kIceBodyFirmwareUpdate);
    EXPECT_EQ(updater.GetStepDelay(), 1500);
    EXPECT_EQ(updater.GetWriterValue(), 0u);
    EXPECT_EQ(updater.GetWriterAppCheckSum(), 0u);
    EXPECT_EQ(updater.GetLink(), &link);
}

TEST_F(FirmwareUpdater, WriterVersionRequestAndReply) {
    const Bytes file = UseFirmware(MakeFirmware(0x12345));
    link.ExpectWrite(VersionRequest(static_cast<uint32_t>(file.size())));
    VersionReply reply;
    reply.version = {1, 2, 3, 4, 7, 8};
    reply.writerValue = 0xCAFE0001;
    reply.writerAppCheckSum = 0x00123456;
    link.ExpectRead(EncodeVersionReply(reply));

    std::string text;
    ASSERT_EQ(updater.GetWriterVersionString(text), 1);
    EXPECT_EQ(text, "0001.0002.0003.0004");
    EXPECT_EQ(updater.GetWriterValue(), 0xCAFE0001u);
    EXPECT_EQ(updater.GetWriterAppCheckSum(), 0x00123456u);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(FirmwareUpdater, FailedVersionExchangeLeavesTheVersionUntouched) {
    Version version{9, 9, 9, 9, 9, 9};
    link.ExpectWrite(VersionRequest(0), false);
    EXPECT_EQ(updater.GetWriterVersion(version.data()), 0);
    link.ExpectWrite(VersionRequest(0));
    link.ExpectFailedRead(64);
    EXPECT_EQ(updater.GetWriterVersion(version.data()), 0);
    EXPECT_EQ(version, (Version{9, 9, 9, 9, 9, 9}));
    EXPECT_EQ(result.Message(), enginetest::ScriptedLink::kReadFailText);
}

TEST_F(FirmwareUpdater, AppIsCurrentUntilTheWriterReportsAnotherChecksum) {
    const Bytes file = UseFirmware(MakeFirmware(0x7000));
    EXPECT_EQ(updater.IsAppCurrent(), 1); // never asked

    VersionReply reply;
    reply.writerAppCheckSum = Sum(file.data() + kBootSize, file.size() - kBootSize);
    link.ExpectWrite(VersionRequest(static_cast<uint32_t>(file.size())));
    link.ExpectRead(EncodeVersionReply(reply));
    Version version{};
    ASSERT_EQ(updater.GetWriterVersion(version.data()), 1);
    EXPECT_EQ(updater.IsAppCurrent(), 1);

    reply.writerAppCheckSum += 1;
    link.ExpectWrite(VersionRequest(static_cast<uint32_t>(file.size())));
    link.ExpectRead(EncodeVersionReply(reply));
    ASSERT_EQ(updater.GetWriterVersion(version.data()), 1);
    EXPECT_EQ(updater.IsAppCurrent(), 0);
}

TEST_F(FirmwareUpdater, UpdateSendsTheApplicationWaitsThenTheBootBlock) {
    const Bytes file = UseFirmware(MakeFirmware(0x7000));
    ExpectApp(file);
    ExpectBoot(file);
    EXPECT_EQ(updater.Update(), 1);
    EXPECT_EQ(link.Remaining(), 0u);
    EXPECT_EQ(clock.SleptMs(), 1500u);
}

TEST_F(FirmwareUpdater, FirmwareOfOnlyABootBlockHasAnEmptyApplication) {
    const Bytes file = UseFirmware(MakeFirmware(0));
    EXPECT_EQ(updater.GetFirmware().GetAppSize(), 0);
    EXPECT_EQ(updater.GetFirmware().GetAppCheckSum(), 0u);
    ExpectApp(file); // header with size 0 and checksum 0, no data
    EXPECT_EQ(updater.UpdateApp(), 1);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(FirmwareUpdater, ApplicationOverSixteenBitsIsSentWholeWithTheSizeCut) {
    const Bytes file = UseFirmware(MakeFirmware(0x10005));
    ExpectApp(file);
    EXPECT_EQ(updater.UpdateApp(), 1);
    ASSERT_GE(link.Written().size(), 2u);
    EXPECT_EQ(link.Written()[0][1], 0x05);
    EXPECT_EQ(link.Written()[0][2], 0x00);
    EXPECT_EQ(link.Written()[1].size(), 0x10005u);
}

TEST_F(FirmwareUpdater, RejectedApplicationStopsBeforeTheBootBlock) {
    const Bytes file = UseFirmware(MakeFirmware(0x7000));
    ExpectApp(file, false);
    EXPECT_EQ(updater.Update(), 0);
    EXPECT_EQ(result.Message(), kUpdateAppFailed);
    EXPECT_EQ(link.Remaining(), 0u); // nothing of the boot block was sent
    EXPECT_EQ(clock.SleptMs(), 0u);
}

TEST_F(FirmwareUpdater, FailedHeaderSendsNoApplicationData) {
    const Bytes file = UseFirmware(MakeFirmware(0x7000));
    link.ExpectWrite(AppHeader(0x7000, Sum(file.data() + kBootSize, 0x7000)), false);
    EXPECT_EQ(updater.UpdateApp(), 0);
    EXPECT_EQ(link.Written().size(), 1u);
    EXPECT_EQ(result.Message(), kUpdateAppFailed);
}

TEST_F(FirmwareUpdater, BootBlockIsTriedThreeTimes) {
    const Bytes file = UseFirmware(MakeFirmware(0x7000));
    ExpectBoot(file, false);
    ExpectBoot(file);
    EXPECT_EQ(updater.UpdateBoot(), 1);
    EXPECT_EQ(link.Remaining(), 0u);

    ExpectBoot(file, false);
    ExpectBoot(file, false);
    ExpectBoot(file, false);
    EXPECT_EQ(updater.UpdateBoot(), 0);
    EXPECT_EQ(result.Message(), kUpdateBootFailed);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(FirmwareUpdater, FailedBootPacketWriteIsAFailedTry) {
    const Bytes file = UseFirmware(MakeFirmware(0x7000));
    ExpectBoot(file, true, false);
    ExpectBoot(file);
    EXPECT_EQ(updater.UpdateBoot(), 1);
    EXPECT_EQ(link.Remaining(), 0u);
    ASSERT_EQ(link.Written().size(), 4u);
    EXPECT_EQ(link.Written()[1].size(), 16384u);

    ExpectBoot(file, true, false);
    ExpectBoot(file, true, false);
    ExpectBoot(file, true, false);
    EXPECT_EQ(updater.UpdateBoot(), 0);
    EXPECT_EQ(result.Message(), kUpdateBootFailed);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(FirmwareUpdater, MissingOrShortFirmwareSendsNothing) {
    updater.GetFirmware().SetFileName(firmwarePath()); // not on disk
    EXPECT_EQ(updater.Update(), 0);
    EXPECT_EQ(result.Message(), kUpdateAppFailed);
    EXPECT_TRUE(link.Written().empty());

    UseFirmware(Bytes(100, 0x11)); // shorter than the boot block
    EXPECT_EQ(updater.UpdateApp(), 0);
    EXPECT_EQ(updater.UpdateBoot(), 0);
    EXPECT_TRUE(link.Written().empty());
}

TEST_F(FirmwareUpdater, ModeTextAndBootReply) {
    link.ExpectWrite(ModeQuery());
    link.ExpectRead(Bytes{0x5A});
    std::string text;
    EXPECT_EQ(updater.GetModeText(text), 1);
    EXPECT_EQ(text, "5a");

    link.bodyType = 0;
    VersionReply reply;
    reply.version = {1, 2, 3, 4, 0x0506, 0x0708};
    link.ExpectWrite(VersionRequest(0));
    link.ExpectRead(EncodeVersionReply(reply));
    uint16_t first = 0, second = 0;
    EXPECT_EQ(updater.GetBootReply(first, second), 1);
    EXPECT_EQ(link.bodyType, usb::kIceBodyFirmwareUpdate);
    EXPECT_EQ(first, 0x0506);
    EXPECT_EQ(second, 0x0708);
}

TEST_F(FirmwareUpdater, DetectWriterTypeAsksForAnyWriter) {
    link.findAnyWriterResult = 4;
    result.SetMessage("found one");
    std::string message;
    EXPECT_EQ(updater.DetectWriterType(&message), 4);
    EXPECT_EQ(link.findAnyWriterBodyType, usb::eMultiICEBODY_CHECK_TYPE);
    EXPECT_EQ(message, "found one");
}

class FirmwareFile : public testsupport::ProgramFolderTest {
protected:
    C_C51BinFile file;
    std::string path() { return folder.File(kFirmwareFileName); }
    void Write(const Bytes& bytes) {
        testsupport::ProgramFolder::Write(path(), std::string(bytes.begin(), bytes.end()));
    }
};

TEST_F(FirmwareFile, SizesChecksumsAndVersion) {
    const Bytes bytes = MakeFirmware(0x7000, {1, 2, 3, 4, 0, 0});
    Write(bytes);
    ASSERT_EQ(file.SetFileName(path()), 1);
    EXPECT_EQ(file.GetBootSize(), 8192);
    EXPECT_EQ(file.GetAppSize(), 0x7000);
    EXPECT_EQ(file.GetBootCheckSum(), Sum(bytes.data(), kBootSize));
    EXPECT_EQ(file.GetAppCheckSum(), Sum(bytes.data() + kBootSize, 0x7000));
    EXPECT_EQ(file.GetAppData(), file.GetBootData() + kBootSize);
    EXPECT_EQ(file.GetVersionString(), "0001.0002.0003.0004");
    const uint16_t same[4] = {1, 2, 3, 4};
    const uint16_t other[4] = {1, 2, 3, 5};
    EXPECT_TRUE(file.IsSameVersion(same));
    EXPECT_FALSE(file.IsSameVersion(other));
}

TEST_F(FirmwareFile, MissingFileReadsAsZerosWithItsMessage) {
    ASSERT_EQ(file.SetFileName(path()), 1);
    EXPECT_EQ(file.GetBootCheckSum(), 0u);
    EXPECT_EQ(file.GetAppCheckSum(), 0u);
    EXPECT_EQ(file.GetVersionString(), "0000.0000.0000.0000");
    uint16_t version[6] = {7, 7, 7, 7, 7, 7};
    EXPECT_EQ(file.GetVersion(version), 0);
    EXPECT_EQ(version[0], 7);
    EXPECT_EQ(core::SharedResult().Message(), "The File \"OTP_Controller_C51FW\" does not exist!");
    EXPECT_EQ(file.GetBootPackets(), nullptr);
    EXPECT_EQ(file.GetAppData(), nullptr);
}

TEST_F(FirmwareFile, FileTooShortForItsVersionOrBootBlock) {
    Write(MakeFirmware(0));
    ASSERT_EQ(file.SetFileName(path()), 1);
    uint16_t version[6] = {};
    EXPECT_EQ(file.GetVersion(version), 0); // 8192 bytes: no version inside
    EXPECT_NE(file.GetBootPackets(), nullptr);

    Write(Bytes(4000, 0x22));
    C_C51BinFile shorter;
    ASSERT_EQ(shorter.SetFileName(path()), 1);
    EXPECT_EQ(shorter.GetAppSize(), 0);
    EXPECT_EQ(shorter.GetBootCheckSum(), 4000u * 0x22u);
    EXPECT_EQ(shorter.GetBootPackets(), nullptr);
    EXPECT_FALSE(shorter.HasBootBlock());
}

TEST_F(FirmwareFile, AnotherFileDropsTheCachedPacketsAndSums) {
    Bytes first = MakeFirmware(0x7000);
    Write(first);
    ASSERT_EQ(file.SetFileName(path()), 1);
    const uint32_t firstSum = file.GetBootCheckSum();
    EXPECT_EQ(file.GetBootPackets()[64], first[0]);

    const std::string second = folder.File("other.bin");
    Bytes other = first;
    other[0] ^= 0xFF;
    testsupport::ProgramFolder::Write(second, std::string(other.begin(), other.end()));
    ASSERT_EQ(file.SetFileName(second), 1);
    EXPECT_NE(file.GetBootCheckSum(), firstSum);
    EXPECT_EQ(file.GetBootPackets()[64], other[0]);
}

} // namespace
} // namespace firmware
