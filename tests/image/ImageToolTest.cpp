#include "cli/image_tool/ImageTool.h"
#include "image/Acceptance.h"
#include "tests/image/ImageTestSupport.h"

#include <sstream>

using namespace imagetest;
namespace tool = image::tool;

namespace {

class ImageToolTest : public ImageTest {
protected:
    int Make(int body, std::optional<uint32_t> size = {}, std::optional<uint32_t> chip = {}) {
        tool::MakeOptions o;
        o.body = body;
        o.size = size;
        o.chip = chip;
        o.seed = 7;
        o.out = folder.File("made.bin");
        return tool::Make(o, out, err);
    }
    int Check(int body, const std::string& name = "made.bin") {
        return tool::Check(body, folder.File(name), out, err);
    }
    std::ostringstream out, err;
};

TEST_F(ImageToolTest, MadeFilesPassTheChecksOfEveryBody) {
    for (int body = 1; body <= 34; ++body) {
        SCOPED_TRACE(body);
        ASSERT_EQ(Make(body), 0) << err.str();
        out.str("");
        EXPECT_EQ(Check(body), 0) << err.str();
        EXPECT_EQ(out.str(), "") << "a made file should carry its information";
    }
}

TEST_F(ImageToolTest, MakeFollowsTheRequestedSizeAndChipCode) {
    ASSERT_EQ(Make(13, {}, 0x01), 0);
    const std::string text = testsupport::ProgramFolder::Read(folder.File("made.bin"));
    const Bytes made(text.begin(), text.end());
    EXPECT_EQ(made.size(), 0x34000u);
    EXPECT_EQ(image::ReadXdeInfo(13, made), 0x0104u);
    ASSERT_EQ(Make(22, 0x2A000), 0);
    EXPECT_EQ(Check(16), 0); // the same rung reaches the KT310 bodies
    EXPECT_EQ(Check(25), 1);
}

TEST_F(ImageToolTest, MakeRefusesWhatTheBodyNeverAccepts) {
    EXPECT_EQ(Make(1, 0x20000), 1);
    EXPECT_EQ(err.str(), "File size does not match the OTP size!\n");
    err.str("");
    EXPECT_EQ(Make(25, {}, 0x04), 1);
    EXPECT_NE(err.str().find("0x4"), std::string::npos);
    EXPECT_EQ(Make(0), 2);
    EXPECT_EQ(Make(35), 2);
}

TEST_F(ImageToolTest, MakeWithoutAListedPairWritesAFileWithoutInformation) {
    ASSERT_EQ(Make(33, 0x1234), 0);
    EXPECT_NE(out.str().find("Warning : This file does not contain XDE Info"), std::string::npos);
    out.str("");
    EXPECT_EQ(Check(33), 0);
    EXPECT_EQ(out.str(), std::string(image::kNoXdeInfoWarning) + "\n");
}

TEST_F(ImageToolTest, CheckPrintsTheFirstFailingMessage) {
    ASSERT_EQ(Make(7), 0);
    EXPECT_EQ(Check(9), 1);
    EXPECT_EQ(err.str(), "File size does not match the OTP size!\n");
    err.str("");
    WriteFile(Bytes(0xB0000, 0x00), "zero.bin");
    EXPECT_EQ(Check(7, "zero.bin"), 1);
    EXPECT_EQ(err.str(), std::string(image::kKL500ContentMessage) + "\n");
    err.str("");
    EXPECT_EQ(Check(7, "missing.bin"), 1);
    EXPECT_EQ(err.str(), "The File \"missing\" does not exist!\n");
}

TEST_F(ImageToolTest, ConvertWritesTheImagesAndPrintsTheEngineNumbers) {
    const Bytes file = Pattern(0x16000);
    const std::string path = WriteFile(file, "kt220.bin");
    tool::ConvertOptions o;
    o.body = 25;
    o.file = path;
    o.recordHex = "000102030405060708090a0b0c0d";
    o.chipOut = folder.File("chip.out");
    o.wordOut = folder.File("word.out");
    ASSERT_EQ(tool::Convert(o, out, err), 0) << err.str();

    auto expected = image::CreateBodyImage(25);
    ASSERT_EQ(expected->SetFileName(path), 1);
    image::InfoRecord record{};
    for (size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<uint8_t>(i);
    expected->WriteInfoRecord(record);
    const std::string chip = testsupport::ProgramFolder::Read(o.chipOut);
    ASSERT_EQ(chip.size(), 0x10800u);
    EXPECT_EQ(chip, std::string(reinterpret_cast<const char*>(expected->GetChipImage()), 0x10800));
    EXPECT_EQ(chip.substr(38, 4), std::string("\xFF\xFF\x01\x02", 4));
    EXPECT_EQ(testsupport::ProgramFolder::Read(o.wordOut).size(), 0x18C00u);

    char sums[128];
    std::snprintf(sums, sizeof sums, "GetCheckSum=%X\nComputeImageCheckSum=%X\n",
                  expected->GetCheckSum(), expected->ComputeImageCheckSum());
    EXPECT_EQ(out.str(), "GetLength=90112\n" + std::string(sums) +
                             "GetUnits=67584\nGetLastUnit=67583\nGetWordImageSize=101376\n"
                             "GetChipImageSize=67584\n");
}

TEST_F(ImageToolTest, ConvertRefusesBadArguments) {
    tool::ConvertOptions o;
    o.body = 25;
    o.file = WriteFile(Pattern(64));
    o.chipOut = folder.File("c");
    o.wordOut = folder.File("w");
    o.recordHex = "0011";
    EXPECT_EQ(tool::Convert(o, out, err), 2);
    o.recordHex = "zz0102030405060708090a0b0c0d";
    EXPECT_EQ(tool::Convert(o, out, err), 2);
    o.recordHex.reset();
    o.body = 40;
    EXPECT_EQ(tool::Convert(o, out, err), 2);
    o.body = 0;
    o.file = folder.File("none.bin");
    EXPECT_EQ(tool::Convert(o, out, err), 1);
}

TEST(ImageToolNumbers, DecimalAndHexadecimal) {
    EXPECT_EQ(tool::ParseNumber("31"), 31u);
    EXPECT_EQ(tool::ParseNumber("0x2A000"), 0x2A000u);
    EXPECT_EQ(tool::ParseNumber("0xFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(tool::ParseNumber("0x100000000"), std::nullopt);
    EXPECT_EQ(tool::ParseNumber("-1"), std::nullopt);
    EXPECT_EQ(tool::ParseNumber("12k"), std::nullopt);
    EXPECT_EQ(tool::ParseNumber(""), std::nullopt);
}

} // namespace
