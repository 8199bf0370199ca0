#include "image/Acceptance.h"
#include "tests/image/ImageTestSupport.h"

using namespace imagetest;
using image::XdeVerdict;

namespace {

// Information value of a series/chip pair as the 16-bit forms carry it.
uint32_t Info(uint8_t series, uint8_t chip) {
    return static_cast<uint32_t>(series | chip << 8);
}

XdeVerdict Judge(uint32_t info, int index, int64_t length) {
    return image::JudgeXdeInfo(info, index, length);
}

TEST(CheckFileSize, NoBodyAcceptsNothing) {
    for (int index : {0, 35, -1, 100})
        EXPECT_FALSE(image::CheckFileSize(index, 0x2A000)) << index;
}

TEST(CheckFileSize, ListsAndTheirInheritedLists) {
    EXPECT_TRUE(image::CheckFileSize(1, 0x2A000));
    EXPECT_FALSE(image::CheckFileSize(1, 0x2A001));
    EXPECT_FALSE(image::CheckFileSize(1, 0x20000));
    EXPECT_TRUE(image::CheckFileSize(10, 0x34000)); // through 11, then 8
    EXPECT_TRUE(image::CheckFileSize(10, 0x600000));
    EXPECT_FALSE(image::CheckFileSize(11, 0x200000)); // 10's own list is not 11's
    EXPECT_TRUE(image::CheckFileSize(15, 0x16000));   // 24, 14, 22
    EXPECT_TRUE(image::CheckFileSize(19, 0x2B8000));
    EXPECT_FALSE(image::CheckFileSize(14, 0x2B8000));
    EXPECT_TRUE(image::CheckFileSize(20, 0xB0000));
    EXPECT_FALSE(image::CheckFileSize(22, 0x100000));
    EXPECT_TRUE(image::CheckFileSize(34, 0x58000));
    EXPECT_FALSE(image::CheckFileSize(23, 0x58000));
}

TEST(CheckFileSize, BoundedBodiesTakeAnyLengthUpToTheirBound) {
    EXPECT_TRUE(image::CheckFileSize(26, 0));
    EXPECT_TRUE(image::CheckFileSize(26, 7));
    EXPECT_TRUE(image::CheckFileSize(26, 0x200000));
    EXPECT_FALSE(image::CheckFileSize(26, 0x200001));
    EXPECT_TRUE(image::CheckFileSize(29, 0x40000));
    EXPECT_FALSE(image::CheckFileSize(29, 0x40001));
    EXPECT_TRUE(image::CheckFileSize(30, 0x300000));
    EXPECT_FALSE(image::CheckFileSize(30, 0x300001));
}

TEST(CheckFileSize, KWBodiesTakeLongerFilesOnlyWhenTheTailIsPadding) {
    EXPECT_TRUE(image::CheckFileSize(31, 0x300000));
    EXPECT_FALSE(image::CheckFileSize(32, 0x300001));
    // Body 33's chip is 0x80000 bytes; a file padded to the family's bound.
    for (const uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
        Bytes file(0x300000, fill);
        file[0x7FFFF] = 0x5A;
        EXPECT_TRUE(image::FileTailIsPadding(33, file)) << int(fill);
        file[0x2FFFFF] = 0x01; // data that the copy would cut
        EXPECT_FALSE(image::FileTailIsPadding(33, file)) << int(fill);
    }
    Bytes mixed(0x100002, 0xFF);
    mixed.back() = 0x00;
    EXPECT_FALSE(image::FileTailIsPadding(32, mixed));
    EXPECT_TRUE(image::FileTailIsPadding(32, Bytes(0x100000, 0x12)));
    // What the window sees: the size message, before the information rule.
    const auto e = image::EvaluateImageFile(31, " KW130 ", Bytes(0x200001, 0x12));
    EXPECT_FALSE(e.accepted);
    EXPECT_EQ(e.message, image::kSizeMismatchMessage);
    EXPECT_FALSE(image::CheckFileTail(31, Bytes(0x200001, 0x12)));
}

TEST(ReadXdeInfo, WordSixBytesBeforeTheEvenEnd) {
    Bytes file(16, 0);
    file[10] = 0x02; // series
    file[11] = 0x15; // chip
    EXPECT_EQ(image::ReadXdeInfo(3, file), 0x1502u);
    file.push_back(0xEE); // odd length: rounded down to even first
    EXPECT_EQ(image::ReadXdeInfo(3, file), 0x1502u);
}

TEST(ReadXdeInfo, BytesTwentyEightAndNineForKMBodies) {
    Bytes file(64, 0);
    file[28] = 0x08;
    file[29] = 0x06;
    EXPECT_EQ(image::ReadXdeInfo(26, file), Info(6, 8));
}

TEST(ReadXdeInfo, ThirtyTwoBitValueForKWBodies) {
    Bytes file(200, 0);
    file[160] = 0x60;
    file[161] = 0x09;
    file[162] = 0x86;
    file[163] = 0xFA;
    EXPECT_EQ(image::ReadXdeInfo(30, file), 0x860960FAu);
}

TEST(ReadXdeInfo, FileTooShortCarriesNoInformation) {
    EXPECT_EQ(image::ReadXdeInfo(26, Bytes(29, 0xFF)), 0u);
    EXPECT_EQ(image::ReadXdeInfo(30, Bytes(163, 0xFF)), 0u);
    EXPECT_EQ(image::ReadXdeInfo(33, Bytes{}), 0u);
    EXPECT_EQ(image::ReadXdeInfo(3, Bytes(5, 0xFF)), 0u);
    EXPECT_EQ(image::ReadXdeInfo(3, Bytes(6, 0xFF)), 0xFFFFu);
}

TEST(JudgeXdeInfo, SomeBodiesAcceptAnyValue) {
    for (int index : {5, 7, 9, 12}) {
        EXPECT_EQ(Judge(0, index, 1), XdeVerdict::Accept);
        EXPECT_EQ(Judge(0xDEAD, index, 1), XdeVerdict::Accept);
    }
    EXPECT_EQ(Judge(0, 0, 1), XdeVerdict::Refuse);
}

TEST(JudgeXdeInfo, ZeroValueWarnsAndAcceptsWhateverTheLength) {
    EXPECT_EQ(Judge(0, 3, 12345), XdeVerdict::AcceptWithWarning);
    EXPECT_EQ(Judge(0, 30, 1), XdeVerdict::AcceptWithWarning);
}

TEST(JudgeXdeInfo, SeriesTwoLadder) {
    EXPECT_EQ(Judge(Info(2, 0x01), 1, 0x2A000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(2, 0x0D), 1, 0x2A000), XdeVerdict::Refuse); // own rung only
    EXPECT_EQ(Judge(Info(2, 0x15), 3, 0x7C000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(2, 0x04), 3, 0xC000), XdeVerdict::Accept);  // down to C2
    EXPECT_EQ(Judge(Info(2, 0x15), 2, 0x7C000), XdeVerdict::Refuse); // above B2
    EXPECT_EQ(Judge(Info(2, 0x11), 6, 0x40000), XdeVerdict::Refuse); // above C2
    EXPECT_EQ(Judge(Info(2, 0x0D), 6, 0x20000), XdeVerdict::Refuse); // wrong length
    EXPECT_EQ(Judge(Info(3, 0x0D), 6, 0x2A000), XdeVerdict::Refuse); // wrong series
}

TEST(JudgeXdeInfo, SeriesOneForKA120) {
    EXPECT_EQ(Judge(Info(1, 0x02), 4, 0x30000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(1, 0x07), 4, 0x80000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(1, 0x07), 4, 0x5C000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(Info(1, 0x08), 4, 0x80000), XdeVerdict::Refuse);
}

TEST(JudgeXdeInfo, SeriesThreeOrFourLadder) {
    EXPECT_EQ(Judge(Info(3, 0x02), 10, 0x34000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(4, 0x10), 10, 0x600000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(3, 0x0A), 8, 0x200000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(Info(4, 0x01), 13, 0x34000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(3, 0x01), 13, 0x34000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(Info(4, 0x01), 11, 0x34000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(5, 0x02), 10, 0x34000), XdeVerdict::Refuse);
}

TEST(JudgeXdeInfo, SeriesFiveLadderAndItsOwnRungForKT220) {
    EXPECT_EQ(Judge(Info(5, 0x46), 19, 0x400000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(5, 0x01), 15, 0x16000), XdeVerdict::Accept); // down to U5
    EXPECT_EQ(Judge(Info(5, 0x14), 24, 0x400000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(Info(5, 0x24), 22, 0xB0000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(5, 0x2B), 34, 0x58000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(5, 0x25), 25, 0x16000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(5, 0x04), 25, 0x16000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(Info(5, 0x25), 23, 0x16000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(Info(5, 0x03), 16, 0x2A000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(5, 0x03), 18, 0x20000), XdeVerdict::Refuse);
}

TEST(JudgeXdeInfo, SeriesSixAcceptsEveryFileButWarnsOnAMismatch) {
    EXPECT_EQ(Judge(Info(6, 0x08), 26, 0x14A000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(Info(6, 0x08), 26, 0x100000), XdeVerdict::AcceptWithWarning);
    EXPECT_EQ(Judge(Info(5, 0x08), 26, 0x14A000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(Info(6, 0x01), 27, 0x20000), XdeVerdict::Accept); // down to D6
    EXPECT_EQ(Judge(Info(6, 0x08), 27, 0x14A000), XdeVerdict::AcceptWithWarning);
    EXPECT_EQ(Judge(Info(6, 0x77), 29, 0x40000), XdeVerdict::AcceptWithWarning);
}

TEST(JudgeXdeInfo, KWBodiesCompareTheWholeValue) {
    EXPECT_EQ(Judge(0x8600600A, 30, 0x40000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(0x860960FA, 33, 0x300000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(0x860960FE, 30, 0x300000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(0x860960FD, 30, 0x300000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(0x860320FE, 32, 0x100000), XdeVerdict::Accept);
    EXPECT_EQ(Judge(0x860320FE, 32, 0xC0000), XdeVerdict::Refuse);
    EXPECT_EQ(Judge(0x860160FE, 31, 0x80000), XdeVerdict::Accept);
}

class CheckBoxesTest : public testsupport::ProgramFolderTest {};

TEST_F(CheckBoxesTest, InformationCheckShowsTheWarningOnlyWhenItWarns) {
    EXPECT_TRUE(image::CheckXdeInfo(0, 3, 0x1234));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, image::kNoXdeInfoWarning);
    EXPECT_EQ(boxes.shown[0].text,
              "Warning : This file does not contain XDE Info,\nBurnwright cannot detect chip "
              "compability.\n You may update meril XDE to resolve it.");
    EXPECT_TRUE(image::CheckXdeInfo(Info(2, 0x01), 1, 0x2A000));
    EXPECT_FALSE(image::CheckXdeInfo(Info(2, 0x01), 1, 0x2B000));
    EXPECT_EQ(boxes.shown.size(), 1u);
}

Bytes GoodKL500() {
    Bytes file(0xB0000, 0x00);
    for (size_t offset = 256; offset <= 294; offset += 2) {
        file[offset] = 0xFF;
        file[offset + 1] = 0x0F;
    }
    return file;
}

TEST_F(CheckBoxesTest, KL500ContentRule) {
    Bytes file = GoodKL500();
    EXPECT_TRUE(image::CheckBodySpecific(" KL500 ", file));
    file[294] = 0xFE;
    EXPECT_FALSE(image::CheckBodySpecific(" KL500 ", file));
    file = GoodKL500();
    file[0xAFFFF] = 0x01; // bit 8 of the last word
    EXPECT_FALSE(image::CheckBodySpecific(" KL500 ", file));
    file = GoodKL500();
    file[0xAAAA9] = 0xF0; // bits 12-15 do not count
    EXPECT_TRUE(image::CheckBodySpecific(" KL500 ", file));
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "File does not match. Please check XDE project is choice KL500");
}

TEST_F(CheckBoxesTest, KS300ContentRule) {
    Bytes file(0x20000, 0x00);
    std::fill(file.begin() + 192, file.begin() + 224, 0xFF);
    EXPECT_TRUE(image::CheckBodySpecific(" KS300 ", file));
    file[223] = 0x7F;
    EXPECT_FALSE(image::CheckBodySpecific(" KS300 ", file));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Please check XDE version is  MerilXDE_KS30K_V1.01d2 or newer.");
}

TEST_F(CheckBoxesTest, ContentRulesRefuseFilesTooShortForTheirWords) {
    EXPECT_FALSE(image::CheckBodySpecific(" KL500 ", Bytes(296, 0xFF)));
    EXPECT_FALSE(image::CheckBodySpecific(" KS300 ", Bytes(223, 0xFF)));
    EXPECT_TRUE(image::CheckBodySpecific(" KT700 ", Bytes{}));
    EXPECT_TRUE(image::CheckBodySpecific("KL500", Bytes{}));
}

TEST(EvaluateImageFile, RunsTheChecksInTheWindowsOrder) {
    Bytes file(0x2A000, 0x00);
    auto e = image::EvaluateImageFile(1, " KA160 ", Bytes(10));
    EXPECT_FALSE(e.accepted);
    EXPECT_EQ(e.message, "File size does not match the OTP size!");
    e = image::EvaluateImageFile(1, " KA160 ", file);
    EXPECT_TRUE(e.accepted);
    EXPECT_TRUE(e.warning);
    file[file.size() - 6] = 0x02;
    file[file.size() - 5] = 0x07;
    e = image::EvaluateImageFile(1, " KA160 ", file);
    EXPECT_FALSE(e.accepted);
    EXPECT_EQ(e.message, "Bin file information check is failed!");
    file[file.size() - 5] = 0x01;
    e = image::EvaluateImageFile(1, " KA160 ", file);
    EXPECT_TRUE(e.accepted);
    EXPECT_FALSE(e.warning);
    EXPECT_EQ(e.message, "");
    e = image::EvaluateImageFile(7, " KL500 ", Bytes(0xB0000, 0x00));
    EXPECT_FALSE(e.accepted);
    EXPECT_EQ(e.message, image::kKL500ContentMessage);
}

} // namespace
