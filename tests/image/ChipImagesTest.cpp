// The per-chip image classes on files of the sizes their bodies take.
#include "image/Layouts.h"
#include "tests/image/ImageTestSupport.h"

#include <algorithm>
#include <typeinfo>

using namespace imagetest;
using image::CreateBodyImage;

namespace {

class ChipImagesTest : public ImageTest {};

bool AllEqual(const uint8_t* data, size_t from, size_t to, uint8_t value) {
    return std::all_of(data + from, data + to, [&](uint8_t b) { return b == value; });
}

TEST_F(ChipImagesTest, FactoryCreatesTheClassOfEveryBody) {
    EXPECT_EQ(CreateBodyImage(0), nullptr);
    EXPECT_EQ(CreateBodyImage(35), nullptr);
    EXPECT_EQ(CreateBodyImage(-1), nullptr);
    for (int index = 1; index <= 34; ++index) {
        const auto image = CreateBodyImage(index);
        ASSERT_NE(image, nullptr) << index;
        EXPECT_EQ(image->BodyIndex(), index);
    }
    EXPECT_TRUE(dynamic_cast<image::C_KT250BinFile*>(CreateBodyImage(21).get()));
    EXPECT_TRUE(dynamic_cast<image::C_KT250BinFile*>(CreateBodyImage(34).get()));
    for (int index : {16, 17, 18})
        EXPECT_TRUE(dynamic_cast<image::C_KT310BinFile*>(CreateBodyImage(index).get()));
    EXPECT_TRUE(dynamic_cast<image::C_KL500SBinFile*>(CreateBodyImage(9).get()));
    EXPECT_TRUE(dynamic_cast<image::C_KS300ABinFile*>(CreateBodyImage(9).get()));
    EXPECT_FALSE(dynamic_cast<image::C_KS300ABinFile*>(CreateBodyImage(7).get()));
    EXPECT_TRUE(dynamic_cast<image::C_KM135BinFile*>(CreateBodyImage(27).get()));
    EXPECT_TRUE(dynamic_cast<image::C_KW130PBinFile*>(CreateBodyImage(31).get()));
}

struct Sizes {
    int index;
    size_t fileLength;
    int units, chipSize, wordSize, window0, window1, info;
};

TEST_F(ChipImagesTest, UnitsAndImageSizesOfEveryFamily) {
    const Sizes cases[] = {
        {1, 0x2A000, 0x1F800, 0x1F800, 0x27600, 60, 90, 192},
        {2, 0x40000, 0x10000, 0x30000, 0x40000, 64, 96, 192},
        {4, 0x30000, 0xC000, 0x24000, 0x30000, 64, 96, 192},
        {6, 0xC000, 0x9000, 0x9000, 0xB400, 60, 90, 192},
        {7, 0xB0000, 0x80000, 0x80000, 0xC0000, 288, 333, 192},
        {8, 0x34000, 0x80000, 0x80000, 0xC0000, 288, 333, 192},
        {9, 0x20000, 0x100000, 0x100000, 0x180000, 576, 624, 384},
        {10, 0x200000, 0x400000, 0x400000, 0x600000, 0x5D0000, 0x5D001B, 0x3E0002},
        {11, 0x100000, 0x100000, 0x100000, 0x180000, 0x168000, 0x16801D, 0xF0000},
        {12, 0x4000, 0x4000, 0x4000, 0x6000, 0, 0, 0},
        {13, 0x34000, 0x38000, 0x38000, 0x54000, 0x4E000, 0x4E01D, 0x34000},
        {14, 0x100000, 0x100000, 0x100000, 0x180000, 0, 0, 0xFF800},
        {15, 0x300000, 0x300000, 0x300000, 0x400000, 0, 0, 76},
        {17, 0x16000, 0x38000, 0x38000, 0x54000, 0, 0, 0x34800},
        {19, 0x300000, 0x300000, 0x300000, 0x3C0000, 0, 0, 38},
        {20, 0xCE000, 0x100000, 0x100000, 0x180000, 0, 0, 0xFF000},
        {24, 0x19A000, 0x20A000, 0x20A000, 0x28C800, 0, 0, 38},
        {25, 0x16000, 0x10800, 0x10800, 0x18C00, 0, 0, 38},
        {26, 0x1000, 0x200000, 0x200000, 0x280000, 0, 0, 32},
        {30, 0x1000, 0x300000, 0x300000, 0x360000, 0, 0, 512},
        {34, 0x58000, 0x42000, 0x42000, 0x63000, 0, 0, 38},
    };
    for (const Sizes& c : cases) {
        SCOPED_TRACE(c.index);
        const auto image = Open(c.index, Pattern(c.fileLength));
        EXPECT_EQ(image->GetUnits(), c.units);
        EXPECT_EQ(image->GetLastUnit(), c.units - 1);
        EXPECT_EQ(image->GetChipImageSize(), c.chipSize);
        EXPECT_EQ(image->GetWordImageSize(), c.wordSize);
        EXPECT_EQ(image->WindowStart(), c.window0);
        EXPECT_EQ(image->WindowEnd(), c.window1);
        EXPECT_EQ(image->InfoOffset(), c.info);
    }
}

TEST_F(ChipImagesTest, KT700WordsOf0FFFFillTheWholeChipImageWithFF) {
    Bytes file(0x400000);
    for (size_t i = 0; i < file.size(); i += 2) {
        file[i] = 0xFF;
        file[i + 1] = 0x0F;
    }
    const auto image = Open(19, file);
    const uint8_t* chip = image->GetChipImage();
    ASSERT_NE(chip, nullptr);
    EXPECT_TRUE(AllEqual(chip, 0, 0x200000, 0xFF));
    EXPECT_TRUE(AllEqual(chip, 0x200000, 0x300000, 0xFF));
    // Groups of four FF bytes check as FC.
    const uint8_t* word = image->GetWordImage();
    EXPECT_EQ(Slice(word, 0x3BFFFB, 5), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
}

TEST_F(ChipImagesTest, KT260KeepsItsLastFourKilobytesZero) {
    const auto image = Open(20, Bytes(0x154000, 0xFF));
    const uint8_t* chip = image->GetChipImage();
    EXPECT_TRUE(AllEqual(chip, 0, 0xFF000, 0xFF));
    EXPECT_TRUE(AllEqual(chip, 0xFF000, 0x100000, 0x00));
}

TEST_F(ChipImagesTest, SplitPlanesPlaceLowBytesAndNibblesByWordCount) {
    Bytes file(0x16000);
    // Word 4 = 0x0B00, word 5 = 0x0A34: low byte 0x34 at 5, nibbles AB at N + 2.
    file[8] = 0x00;
    file[9] = 0x0B;
    file[10] = 0x34;
    file[11] = 0x0A;
    const auto image = Open(25, file); // KT220, N = 0xB000
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(chip[5], 0x34);
    EXPECT_EQ(chip[0xB000 + 2], 0xAB);
    EXPECT_EQ(chip[0xB000 + 3], 0x00);
}

TEST_F(ChipImagesTest, KT330HalvesGoToEvenAndOddBytesWithAnFFTail) {
    Bytes file(0x154000);
    auto setWord = [&](size_t k, uint16_t w) {
        file[2 * k] = static_cast<uint8_t>(w);
        file[2 * k + 1] = static_cast<uint8_t>(w >> 8);
    };
    setWord(1, 0x0C12);       // first half, word 1
    setWord(0x55000, 0x0D34); // second half, word 0
    setWord(0x55001, 0x0E56); // second half, word 1
    const auto image = Open(14, file);
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(chip[2], 0x12);
    EXPECT_EQ(chip[1], 0x34);
    EXPECT_EQ(chip[3], 0x56);
    EXPECT_EQ(chip[0xAA000], 0xC0);
    EXPECT_EQ(chip[0xAA001], 0xED);
    EXPECT_TRUE(AllEqual(chip, 0xFF000, 0x100000, 0xFF));
}

TEST_F(ChipImagesTest, KT320MergesRegionsAAndBThenCAndD) {
    Bytes file(0x400000);
    for (size_t region = 0; region < 4; ++region) {
        file[region * 0x100000 + 2] = static_cast<uint8_t>(0x10 + region); // word 1 low
        file[region * 0x100000 + 3] = static_cast<uint8_t>(0x0A + region); // word 1 bits 8-11
    }
    const auto image = Open(15, file);
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(Slice(chip, 3, 3), (Bytes{0x10, 0x11, 0xAB}));
    EXPECT_EQ(Slice(chip, 0x180003, 3), (Bytes{0x12, 0x13, 0xCD}));
    // The word image groups three bytes: size units x 4 / 3.
    EXPECT_EQ(Slice(image->GetWordImage(), 4, 4), (Bytes{0x10, 0x11, 0xAB, 0xCC}));
}

TEST_F(ChipImagesTest, KT310PacksBitsTenElevenAfterTheWords) {
    Bytes file(0x2A000);
    file[1] = 0x0F; // word 0: bits 8-11 all set
    file[7] = 0x08; // word 3: bit 11
    const auto image = Open(16, file);
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(chip[1], 0x03);
    EXPECT_EQ(chip[7], 0x00);
    EXPECT_EQ(Slice(chip, 0x2A000, 2), (Bytes{0x83, 0x00}));
    EXPECT_TRUE(AllEqual(chip, 0x34800, 0x38000, 0x00));
}

TEST_F(ChipImagesTest, KR130DropsTopBitsOfAnIncompleteGroup) {
    // Six values with top bits 3: one whole group of four, two left over.
    Bytes file(12, 0x00);
    for (size_t k = 0; k < 6; ++k)
        file[2 * k] = 0x18;
    const auto image = Open(11, file);
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(chip[0xC0000], 0xFF);
    EXPECT_EQ(chip[0xC0001], 0x00);
    EXPECT_TRUE(AllEqual(chip, 6, 0xC0000, 0x00));
}

TEST_F(ChipImagesTest, KR120InterleavesHalvesAndEndsInZeroFFPairs) {
    Bytes file(0xC0000);
    file[1] = 0x11;               // value 0: low 0x11
    file[2 * 0x30000 + 1] = 0x12; // value 0x30000: low 0x12
    file[2 * 0x30000] = 0x18;     // its top bits 3, packed byte 0xC000 bits 1-0
    const auto image = Open(8, file);
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(Slice(chip, 0, 2), (Bytes{0x11, 0x12}));
    EXPECT_EQ(Slice(chip, 0x60000, 2), (Bytes{0x00, 0x03}));
    EXPECT_EQ(Slice(chip, 0x78000, 4), (Bytes{0x00, 0xFF, 0x00, 0xFF}));
    EXPECT_EQ(Slice(chip, 0x7FFFE, 2), (Bytes{0x00, 0xFF}));
}

TEST_F(ChipImagesTest, KR140QuartersWithFFGapAndEighteenFFBytes) {
    Bytes file(0x600000);
    file[2 * 0xC0000 + 1] = 0x05;  // low plane byte 0xC0000 -> chip byte 1
    file[2 * 0x180000 + 1] = 0x06; // low plane byte 0x180000 -> chip byte 0x200000
    file[2 * 0x240000 + 1] = 0x07; // low plane byte 0x240000 -> chip byte 0x200001
    const auto image = Open(10, file);
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(Slice(chip, 0, 2), (Bytes{0x00, 0x05}));
    EXPECT_EQ(Slice(chip, 0x200000, 2), (Bytes{0x06, 0x07}));
    EXPECT_TRUE(AllEqual(chip, 0x180000, 0x1E0000, 0x00));
    EXPECT_TRUE(AllEqual(chip, 0x1E0000, 0x200000, 0xFF));
    EXPECT_TRUE(AllEqual(chip, 0x3E0000, 0x3E0012, 0xFF));
    EXPECT_TRUE(AllEqual(chip, 0x3E0012, 0x400000, 0x00));
}

TEST_F(ChipImagesTest, KR110PutsTopBitsBeforeEachLowByte) {
    Bytes file(0x34000);
    file[2] = 0x1F;
    file[3] = 0x01;
    const auto image = Open(13, file);
    EXPECT_EQ(Slice(image->GetChipImage(), 2, 2), (Bytes{0x03, 0xE1}));
}

TEST_F(ChipImagesTest, KS300InterleavesTheHalvesOfALargeFile) {
    const Bytes file = Pattern(0x100000);
    const auto image = Open(9, file);
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(Slice(chip, 0, 4), (Bytes{file[0], file[0x80000], file[1], file[0x80001]}));
    EXPECT_EQ(chip[0xFFFFF], file[0xFFFFF]);
}

TEST_F(ChipImagesTest, KS300WithASmallFileLeavesOddBytesZero) {
    const auto image = Open(9, Bytes(0x20000, 0x5A));
    const uint8_t* chip = image->GetChipImage();
    for (size_t i = 1; i < 0x100000; i += 0x777 * 2)
        ASSERT_EQ(chip[i], 0x00) << i;
    EXPECT_EQ(chip[2 * 0x1FFFF], 0x5A);
    EXPECT_EQ(chip[2 * 0x20000], 0x00);
}

TEST_F(ChipImagesTest, KL500FillsItsChipImageAndStops) {
    const Bytes file = Pattern(0xB0000);
    const auto image = Open(7, file);
    const uint8_t* chip = image->GetChipImage();
    // 0x80000 = 3 x 0x2AAAA + 2: group 0x2AAAA gives its first two bytes.
    const size_t g = 0x2AAAA * 4;
    EXPECT_EQ(Slice(chip, 0x7FFFE, 2),
              (Bytes{file[g], static_cast<uint8_t>(file[g + 1] | (file[g + 3] << 4))}));
}

TEST_F(ChipImagesTest, KA120UsesSevenBitPacking) {
    const auto image = Open(4, {0x3F, 0x2A, 0x15, 0x01});
    EXPECT_EQ(Slice(image->GetChipImage(), 0, 3), (Bytes{0xAA, 0x9F, 0x81}));
}

TEST_F(ChipImagesTest, KA160AndKA140PadTheirLastWordGroupWithFF) {
    for (int index : {1, 6}) {
        // Three file groups give nine chip bytes: two groups of four and one byte.
        const auto image = Open(index, Pattern(12));
        ASSERT_EQ(image->GetChipImageSize(), 9);
        ASSERT_EQ(image->GetWordImageSize(), 15);
        const uint8_t* chip = image->GetChipImage();
        const uint8_t* word = image->GetWordImage();
        EXPECT_EQ(Slice(word, 10, 5),
                  (Bytes{chip[8], 0xFF, 0xFF, 0xFF, static_cast<uint8_t>(chip[8] + 3 * 0xFF)}));
    }
}

TEST_F(ChipImagesTest, PlainCopyBodiesTakeTheFileAndZeroTheRest) {
    const Bytes file = Pattern(0x1000);
    for (int index : {12, 26, 30, 33}) {
        const auto image = Open(index, file);
        const uint8_t* chip = image->GetChipImage();
        EXPECT_EQ(Slice(chip, 0, 0x1000), file);
        EXPECT_TRUE(AllEqual(chip, 0x1000, static_cast<size_t>(image->GetUnits()), 0x00));
    }
}

TEST_F(ChipImagesTest, PlainCopyTakesAtMostItsChipSize) {
    const Bytes file = Pattern(0x5000);
    const auto image = Open(12, file);
    EXPECT_EQ(Slice(image->GetChipImage(), 0, 0x4000), Slice(file.data(), 0, 0x4000));
}

TEST_F(ChipImagesTest, FixedSizeBodiesMeetFilesTheirRuleNeverTook) {
    // After a body change the new class gets the old file, whatever its length.
    const Bytes sizes[] = {Pattern(0), Pattern(1), Pattern(7), Pattern(0x2A001)};
    for (int index = 1; index <= 34; ++index) {
        for (const Bytes& file : sizes) {
            SCOPED_TRACE(testing::Message() << "body " << index << " length " << file.size());
            const auto image = Open(index, file);
            if (file.empty()) { // nothing to burn: no image at all, not one of zeros
                EXPECT_EQ(image->GetWordImage(), nullptr);
                continue;
            }
            ASSERT_NE(image->GetChipImage(), nullptr);
            ASSERT_NE(image->GetWordImage(), nullptr);
            image->ComputeImageCheckSum();
            image->WriteInfoRecord(image::InfoRecord{});
        }
    }
}

TEST_F(ChipImagesTest, ImageChecksumOfABodyWithoutWindowIsThePlainWordSum) {
    const auto image = Open(25, Pattern(0x16000));
    const uint8_t* word = image->GetWordImage();
    EXPECT_EQ(image->ComputeImageCheckSum(),
              image::layout::ByteSum({word, static_cast<size_t>(image->GetWordImageSize())}));
}

TEST_F(ChipImagesTest, ImageChecksumOfKL500CountsItsWindowAsFF) {
    const auto image = Open(7, Pattern(0xB0000));
    const uint8_t* word = image->GetWordImage();
    const size_t size = static_cast<size_t>(image->GetWordImageSize());
    EXPECT_EQ(image->ComputeImageCheckSum(), image::layout::ByteSum({word, 288}) +
                                                 image::layout::ByteSum({word + 333, size - 333}) +
                                                 45u * 255);
}

} // namespace
