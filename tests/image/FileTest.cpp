#include "image/File.h"
#include "tests/image/ImageTestSupport.h"

#include <chrono>
#include <filesystem>
#include <fstream>

using namespace imagetest;
namespace fs = std::filesystem;

namespace {

class FileTest : public ImageTest {
protected:
    void SetUp() override { file.SetResultObject(result); }

    void Touch(const std::string& path, int seconds) {
        fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(seconds));
    }

    image::C_BinFile file;
};

TEST_F(FileTest, FreshFileHasNoPathAndReadsAsEmpty) {
    EXPECT_EQ(file.GetFileName(), "");
    EXPECT_EQ(file.IsModified(), 0);
    EXPECT_EQ(file.GetLength(), 0);
    EXPECT_EQ(file.GetCheckSum(), 0u);
    EXPECT_EQ(file.GetContents(), nullptr);
}

TEST_F(FileTest, EmptyNameIsRefusedAndKeepsTheCurrentFile) {
    const std::string path = WriteFile({1, 2, 3});
    ASSERT_EQ(file.SetFileName(path), 1);
    EXPECT_EQ(file.SetFileName(""), 0);
    EXPECT_EQ(result.Message(), "Please input file name!");
    EXPECT_EQ(file.GetFileName(), path);
    EXPECT_EQ(file.GetLength(), 3);
}

TEST_F(FileTest, MissingFileReportsItsBaseNameAndReadsAsZero) {
    ASSERT_EQ(file.SetFileName(folder.File("absent.bin")), 1);
    EXPECT_EQ(file.Exists(), 0);
    EXPECT_EQ(result.Message(), "The File \"absent\" does not exist!");
    EXPECT_EQ(file.GetLength(), 0);
    EXPECT_EQ(file.GetCheckSum(), 0u);
    EXPECT_EQ(file.GetContents(), nullptr);
}

TEST_F(FileTest, FolderIsNotAFile) {
    ASSERT_EQ(file.SetFileName(folder.Folder().string()), 1);
    EXPECT_EQ(file.Exists(), 0);
    EXPECT_EQ(file.GetContents(), nullptr);
}

TEST_F(FileTest, WhatCannotBeReadWholeIsRefusedWithItsReason) {
    // A sparse file over 2 GB, a device that never ends.
    const std::string huge = folder.File("huge.bin");
    { std::ofstream{huge}; }
    fs::resize_file(huge, 0x80000000ull + 1);
    ASSERT_EQ(file.SetFileName(huge), 1);
    EXPECT_EQ(file.GetContents(), nullptr);
    EXPECT_EQ(result.Message(), "The File \"huge\" is too large!");
    EXPECT_EQ(file.GetLength(), 0);
    if (!fs::exists("/dev/zero"))
        return; // the system has no device that never ends
    ASSERT_EQ(file.SetFileName("/dev/zero"), 1);
    EXPECT_EQ(file.GetContents(), nullptr);
    EXPECT_EQ(result.Message(), "The File \"zero\" cannot be read whole!");
}

TEST_F(FileTest, FileGoneAfterItWasReadNoLongerExists) {
    const std::string path = WriteFile({1, 2, 3}, "read.bin");
    ASSERT_EQ(file.SetFileName(path), 1);
    ASSERT_NE(file.GetContents(), nullptr);
    fs::remove(path);
    EXPECT_EQ(file.Exists(), 0);
    EXPECT_EQ(result.Message(), "The File \"read\" does not exist!");
    EXPECT_EQ(file.GetContents(), nullptr);
    EXPECT_EQ(file.GetLength(), 0);
}

TEST_F(FileTest, LengthChecksumAndContentsOfAFile) {
    const Bytes bytes = {0xFF, 0xFF, 0x01, 0x80, 0x7F};
    ASSERT_EQ(file.SetFileName(WriteFile(bytes)), 1);
    EXPECT_EQ(file.GetLength(), 5);
    EXPECT_EQ(file.GetCheckSum(), 0xFFu + 0xFF + 0x01 + 0x80 + 0x7F);
    ASSERT_NE(file.GetContents(), nullptr);
    EXPECT_EQ(Slice(file.GetContents(), 0, 5), bytes);
}

TEST_F(FileTest, ChecksumIsAThirtyTwoBitSumBeyondSixteenBits) {
    ASSERT_EQ(file.SetFileName(WriteFile(Bytes(1000, 0xFF))), 1);
    EXPECT_EQ(file.GetCheckSum(), 255000u);
}

TEST_F(FileTest, SamePathWithUnchangedFileKeepsTheCachedContents) {
    const std::string path = WriteFile({1, 2, 3, 4});
    ASSERT_EQ(file.SetFileName(path), 1);
    const uint8_t* contents = file.GetContents();
    file.ClearModified();
    ASSERT_EQ(file.SetFileName(path), 1);
    EXPECT_EQ(file.GetContents(), contents);
    EXPECT_EQ(file.IsModified(), 0);
}

TEST_F(FileTest, ChangeOnDiskIsDetectedAndDiscardsTheCaches) {
    const std::string path = WriteFile({1, 2, 3, 4});
    ASSERT_EQ(file.SetFileName(path), 1);
    EXPECT_EQ(file.GetCheckSum(), 10u);
    file.ClearModified();
    testsupport::ProgramFolder::Write(path, AsString({9, 9, 9, 9, 9, 9}));
    Touch(path, 5);
    EXPECT_EQ(file.IsModified(), 1);
    EXPECT_EQ(file.Exists(), 1);
    EXPECT_EQ(file.GetLength(), 6);
    EXPECT_EQ(file.GetCheckSum(), 54u);
}

TEST_F(FileTest, CloseDropsThePathAndCaches) {
    ASSERT_EQ(file.SetFileName(WriteFile({1, 2, 3})), 1);
    ASSERT_NE(file.GetContents(), nullptr);
    EXPECT_EQ(file.Close(), 1);
    EXPECT_EQ(file.GetFileName(), "");
    EXPECT_EQ(file.GetLength(), 0);
    EXPECT_EQ(file.GetContents(), nullptr);
}

TEST_F(FileTest, ZeroLengthFileExistsWithEmptyContents) {
    ASSERT_EQ(file.SetFileName(WriteFile({})), 1);
    EXPECT_EQ(file.Exists(), 1);
    EXPECT_EQ(file.GetLength(), 0);
    EXPECT_NE(file.GetContents(), nullptr);
    EXPECT_EQ(file.GetCheckSum(), 0u);
}

TEST_F(FileTest, PaddedLengthRoundsUpToSixtyFour) {
    const std::pair<size_t, int> cases[] = {{0, 0}, {1, 64}, {64, 64}, {65, 128}, {128, 128}};
    for (const auto& [size, padded] : cases) {
        ASSERT_EQ(file.SetFileName(WriteFile(Bytes(size), "p" + std::to_string(size))), 1);
        EXPECT_EQ(file.GetPaddedLength(), padded) << size;
    }
}

TEST_F(FileTest, FolderKeepsDriveAndTrailingSeparator) {
    ASSERT_EQ(file.SetFileName("D:\\img\\prog.bin"), 1);
    EXPECT_EQ(file.GetFolder(), "D:\\img\\");
}

TEST_F(FileTest, TimeStringShowsTheModificationTimeInLocalTime) {
    const std::string path = WriteFile({1});
    const auto when = fs::file_time_type::clock::now();
    fs::last_write_time(path, when);
    ASSERT_EQ(file.SetFileName(path), 1);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::file_clock::to_sys(fs::last_write_time(path)));
    const std::tm t = *std::localtime(&seconds); // single-threaded test
    char expected[64];
    std::snprintf(expected, sizeof expected, "%d/%d/%d %d:%d:%d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    EXPECT_EQ(file.GetTimeString(), expected);
}

TEST_F(FileTest, ErrorsGoToTheSharedResultUntilPointedElsewhere) {
    image::C_File plain;
    core::SharedResult().GetCodes().Clear();
    plain.SetFileName("");
    EXPECT_EQ(core::SharedResult().Message(), "Please input file name!");
    plain.SetResultObject(result);
    plain.ResetResult();
    core::SharedResult().GetCodes().Clear();
    plain.SetFileName("");
    EXPECT_EQ(core::SharedResult().Message(), "Please input file name!");
}

} // namespace
