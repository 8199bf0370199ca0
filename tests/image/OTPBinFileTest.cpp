#include "image/OTPBinFile.h"
#include "image/ChipBinFiles.h"
#include "image/Layouts.h"
#include "tests/image/ImageTestSupport.h"

#include <chrono>
#include <filesystem>

using namespace imagetest;

namespace {

class OTPBinFileTest : public ImageTest {
protected:
    void SetUp() override { file.SetResultObject(result); }
    image::C_OTPBinFile file;
};

// Two whole groups and a partial one: 3F 2A 15 01 | 01 02 03 04 | AA BB.
const Bytes kTwoGroupsAndTwoBytes = {0x3F, 0x2A, 0x15, 0x01, 0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB};

TEST_F(OTPBinFileTest, SixBitPackingOfWholeGroupsDropsThePartialGroup) {
    ASSERT_EQ(file.SetFileName(WriteFile(kTwoGroupsAndTwoBytes)), 1);
    EXPECT_EQ(file.GetUnits(), 2);
    EXPECT_EQ(file.GetLastUnit(), 1);
    ASSERT_EQ(file.GetChipImageSize(), 6);
    ASSERT_NE(file.GetChipImage(), nullptr);
    EXPECT_EQ(Slice(file.GetChipImage(), 0, 6), (Bytes{0xEA, 0xF5, 0x41, 0x42, 0x00, 0xC4}));
}

TEST_F(OTPBinFileTest, WordImageHasTheFileLengthWithACheckBytePerGroup) {
    ASSERT_EQ(file.SetFileName(WriteFile(kTwoGroupsAndTwoBytes)), 1);
    ASSERT_EQ(file.GetWordImageSize(), 10);
    ASSERT_NE(file.GetWordImage(), nullptr);
    EXPECT_EQ(Slice(file.GetWordImage(), 0, 10),
              (Bytes{0xEA, 0xF5, 0x41, 0x20, 0x42, 0x00, 0xC4, 0x06, 0x00, 0x00}));
    // The window 64-96 lies beyond this small image: a plain byte sum.
    EXPECT_EQ(file.ComputeImageCheckSum(), 0xEAu + 0xF5 + 0x41 + 0x20 + 0x42 + 0xC4 + 0x06);
}

TEST_F(OTPBinFileTest, FileChecksumShowsOnlyTheLowSixteenBits) {
    ASSERT_EQ(file.SetFileName(WriteFile(Bytes(1000, 0xFF))), 1);
    EXPECT_EQ(file.GetCheckSum(), 255000u & 0xFFFF);
}

TEST_F(OTPBinFileTest, ImageChecksumCountsTheWindowAsFF) {
    Bytes withZeros = Pattern(256);
    Bytes withOnes = withZeros;
    for (size_t i = 64; i < 96; ++i) {
        withZeros[i] = 0x00;
        withOnes[i] = 0x3F;
    }
    image::C_OTPBinFile other;
    ASSERT_EQ(file.SetFileName(WriteFile(withZeros, "zeros.bin")), 1);
    ASSERT_EQ(other.SetFileName(WriteFile(withOnes, "ones.bin")), 1);
    const uint32_t sum = file.ComputeImageCheckSum();
    EXPECT_EQ(sum, other.ComputeImageCheckSum());
    const uint8_t* word = file.GetWordImage();
    EXPECT_EQ(word[64], 0x00);
    EXPECT_EQ(sum, image::layout::ByteSum({word, 64}) + image::layout::ByteSum({word + 96, 160}) +
                       32u * 255);
}

TEST_F(OTPBinFileTest, ZeroLengthFileGivesEmptyImagesAndZeroChecksums) {
    ASSERT_EQ(file.SetFileName(WriteFile({}, "nothing.bin")), 1);
    EXPECT_EQ(file.GetUnits(), 0);
    EXPECT_EQ(file.GetLastUnit(), -1);
    EXPECT_EQ(file.GetChipImageSize(), 0);
    EXPECT_EQ(file.GetWordImageSize(), 0);
    EXPECT_EQ(file.GetChipImage(), nullptr);
    EXPECT_EQ(result.Message(), "The File \"nothing\" is empty!");
    // A body of fixed size does not make an image of zeros of it either.
    auto body = image::CreateBodyImage(26);
    body->SetResultObject(result);
    ASSERT_EQ(body->SetFileName(folder.File("nothing.bin")), 1);
    EXPECT_EQ(body->GetWordImage(), nullptr);
    EXPECT_EQ(body->GetWordImageSize(), 0);
    EXPECT_EQ(file.GetCheckSum(), 0u);
    EXPECT_EQ(file.ComputeImageCheckSum(), 0u);
}

TEST_F(OTPBinFileTest, MissingFileHasNoImages) {
    ASSERT_EQ(file.SetFileName(folder.File("none.bin")), 1);
    EXPECT_EQ(file.GetChipImage(), nullptr);
    EXPECT_EQ(file.GetWordImage(), nullptr);
    EXPECT_EQ(file.ComputeImageCheckSum(), 0u);
    EXPECT_EQ(result.Message(), "The File \"none\" does not exist!");
}

TEST_F(OTPBinFileTest, ImagesAreCachedUntilTheFileChangesOnDisk) {
    namespace fs = std::filesystem;
    const std::string path = WriteFile(Pattern(64));
    // A whole second, which every system's time setter stores exactly.
    const auto stamp = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(path));
    fs::last_write_time(path, stamp);
    ASSERT_EQ(file.SetFileName(path), 1);
    const Bytes first = Slice(file.GetChipImage(), 0, 48);
    testsupport::ProgramFolder::Write(path, AsString(Pattern(64, 9)));
    fs::last_write_time(path, stamp);
    // Same name, same time: contents and images stay, even rebuilt.
    ASSERT_EQ(file.SetFileName(path), 1);
    EXPECT_EQ(file.Exists(), 1);
    file.FreeImages();
    EXPECT_EQ(Slice(file.GetChipImage(), 0, 48), first);
    fs::last_write_time(path, stamp + std::chrono::seconds(5));
    EXPECT_EQ(file.Exists(), 1);
    EXPECT_NE(Slice(file.GetChipImage(), 0, 48), first);
}

TEST_F(OTPBinFileTest, NewFileOfOtherLengthGetsItsOwnSizes) {
    ASSERT_EQ(file.SetFileName(WriteFile(Pattern(400), "big.bin")), 1);
    ASSERT_EQ(file.GetChipImageSize(), 300);
    ASSERT_NE(file.GetWordImage(), nullptr);
    ASSERT_EQ(file.SetFileName(WriteFile(Pattern(40), "small.bin")), 1);
    EXPECT_EQ(file.GetUnits(), 10);
    EXPECT_EQ(file.GetChipImageSize(), 30);
    EXPECT_EQ(file.GetWordImageSize(), 40);
    ASSERT_NE(file.GetWordImage(), nullptr);
}

TEST_F(OTPBinFileTest, SideFilesReplaceTheExtension) {
    const Bytes bytes = Pattern(64);
    ASSERT_EQ(file.SetFileName(WriteFile(bytes, "prog.bin")), 1);
    ASSERT_EQ(file.SaveSideFiles(0), 1);
    const std::string flash = testsupport::ProgramFolder::Read(folder.File("prog.Flash.bin"));
    const std::string otp = testsupport::ProgramFolder::Read(folder.File("prog.OTP.bin"));
    EXPECT_EQ(flash, std::string(reinterpret_cast<const char*>(file.GetWordImage()), 64));
    EXPECT_EQ(otp, std::string(reinterpret_cast<const char*>(file.GetChipImage()), 48));
    EXPECT_FALSE(std::filesystem::exists(folder.File("prog.Buffer.bin")));
    ASSERT_EQ(file.SaveSideFiles(1), 1);
    EXPECT_EQ(testsupport::ProgramFolder::Read(folder.File("prog.Buffer.bin")), AsString(bytes));
}

TEST_F(OTPBinFileTest, SideFileThatCannotBeWrittenIsReported) {
    ASSERT_EQ(file.SetFileName(WriteFile(Pattern(64), "prog.bin")), 1);
    std::filesystem::create_directory(folder.File("prog.Flash.bin"));
    EXPECT_EQ(file.SaveSideFiles(0), 0);
    EXPECT_NE(result.Message().find("prog.Flash.bin"), std::string::npos);
}

TEST_F(OTPBinFileTest, InfoBlockGoesIntoBothImagesOnce) {
    ASSERT_EQ(file.SetFileName(WriteFile(Pattern(512))), 1);
    file.ClearInfoDirty();
    image::InfoBlock block{};
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(0xA0 + i);
    EXPECT_FALSE(file.SetInfoBlock(block));
    EXPECT_EQ(file.IsInfoDirty(), 1);
    EXPECT_EQ(Slice(file.GetWordImage(), 64, 32), Bytes(block.begin(), block.end()));
    for (size_t k = 0; k < 8; ++k)
        EXPECT_EQ(Slice(file.GetChipImage(), 192 + 3 * k, 3),
                  Bytes(block.begin() + 4 * k, block.begin() + 4 * k + 3));
    file.ClearInfoDirty();
    EXPECT_TRUE(file.SetInfoBlock(block));
    EXPECT_EQ(file.IsInfoDirty(), 0);
}

TEST_F(OTPBinFileTest, InfoBlockThatDoesNotFitChangesNothing) {
    ASSERT_EQ(file.SetFileName(WriteFile(Pattern(80))), 1);
    const Bytes before = Slice(file.GetWordImage(), 0, 80);
    EXPECT_FALSE(file.SetInfoBlock(image::InfoBlock{}));
    EXPECT_EQ(Slice(file.GetWordImage(), 0, 80), before);
}

TEST_F(OTPBinFileTest, PlainImageHasNoRecord) {
    ASSERT_EQ(file.SetFileName(WriteFile(Pattern(256))), 1);
    EXPECT_FALSE(file.HasInfoRecord());
    EXPECT_EQ(file.WriteInfoRecord(image::InfoRecord{}), 0);
    EXPECT_EQ(file.BodyIndex(), 0);
}

} // namespace
