// Placing the 14-byte information record, body by body.
#include "tests/image/ImageTestSupport.h"

using namespace imagetest;

namespace {

class InfoRecordTest : public ImageTest {
protected:
    // r0 .. r13 = 0x10 .. 0x1D
    static image::InfoRecord Record() {
        image::InfoRecord r{};
        for (size_t i = 0; i < r.size(); ++i)
            r[i] = static_cast<uint8_t>(0x10 + i);
        return r;
    }
    std::unique_ptr<image::C_OTPBinFile> Stamped(int index, const Bytes& file) {
        auto image = Open(index, file);
        image->ClearInfoDirty();
        EXPECT_EQ(image->WriteInfoRecord(Record()), 1);
        EXPECT_EQ(image->IsInfoDirty(), 1);
        return image;
    }
};

TEST_F(InfoRecordTest, TwelveBitSplitPlanesTakeFFFFAndTheRotatedRecord) {
    const Bytes expected = {0xFF, 0xFF, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16,
                            0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x10};
    for (int index : {19, 21, 22, 23, 24, 25, 34}) {
        SCOPED_TRACE(index);
        const auto image = Stamped(index, Pattern(0x16000));
        EXPECT_EQ(Slice(image->GetChipImage(), 38, 16), expected);
    }
}

TEST_F(InfoRecordTest, KT260PlacesItsBlockAtTheStartOfTheZeroedTail) {
    const auto image = Open(20, Bytes(0xCE000, 0xFF));
    EXPECT_EQ(Slice(image->GetChipImage(), 0xFF000, 4), Bytes(4, 0x00));
    ASSERT_EQ(image->WriteInfoRecord(Record()), 1);
    EXPECT_EQ(Slice(image->GetChipImage(), 0xFF000, 4), (Bytes{0xFF, 0xFF, 0x11, 0x12}));
    EXPECT_EQ(image->GetChipImage()[0xFF00F], 0x10);
    EXPECT_EQ(image->GetChipImage()[0xFF010], 0x00);
}

TEST_F(InfoRecordTest, KT310UsesEvenBytesOnly) {
    const auto image = Stamped(17, Bytes(0x2A000));
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(Slice(chip, 0x34800, 6), (Bytes{0xFF, 0x00, 0x11, 0x00, 0x12, 0x00}));
    EXPECT_EQ(chip[0x34800 + 2 * 13], 0x1D);
    EXPECT_EQ(chip[0x34800 + 2 * 14], 0x10);
}

TEST_F(InfoRecordTest, KT330UsesEvenBytesOfItsFFTail) {
    const auto image = Stamped(14, Bytes(0x100000));
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(Slice(chip, 0xFF800, 4), (Bytes{0x10, 0xFF, 0x11, 0xFF}));
    EXPECT_EQ(chip[0xFF800 + 26], 0x1D);
}

TEST_F(InfoRecordTest, KT320WritesTheFileContentsAndTheRebuiltImageCarriesIt) {
    const auto image = Stamped(15, Bytes(0x300000));
    for (size_t i = 0; i < 14; ++i) {
        EXPECT_EQ(image->ContentsSpan()[76 + 2 * i], 0x10 + i);
        // Word 38 + i of region A is the first byte of chip group 38 + i.
        EXPECT_EQ(image->GetChipImage()[3 * (38 + i)], 0x10 + i);
    }
}

TEST_F(InfoRecordTest, KMBodiesWidenTheRecordToWords) {
    for (int index : {26, 27, 28, 29}) {
        const auto image = Stamped(index, Pattern(0x20000));
        const Bytes expected = {0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x12, 0x00, 0x13, 0x00, 0x14,
                                0x00, 0x15, 0x00, 0x16, 0x00, 0x17, 0x00, 0x18, 0x00, 0x19, 0x00,
                                0x1A, 0x00, 0x1B, 0x00, 0x1C, 0x00, 0x1D, 0x00, 0x10, 0x00};
        EXPECT_EQ(Slice(image->GetChipImage(), 32, 32), expected) << index;
    }
}

TEST_F(InfoRecordTest, KWBodiesWriteSixteenWordsAtByte512) {
    for (int index : {30, 31, 32, 33}) {
        const auto image = Stamped(index, Pattern(0x1000));
        const Bytes expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0x12, 0x13, 0x14, 0x15,
                                0x16, 0xFF, 0xFF, 0x17, 0x18, 0x1B, 0xFF, 0x19, 0x1A, 0xFF, 0xFF,
                                0x1C, 0x1D, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0x00};
        EXPECT_EQ(Slice(image->GetChipImage(), 512, 32), expected) << index;
        EXPECT_EQ(image->GetChipImage()[544], Pattern(0x1000)[544]);
    }
}

TEST_F(InfoRecordTest, KR110WritesZeroPairsIntoBothImages) {
    const auto image = Stamped(13, Bytes(0x34000));
    EXPECT_EQ(Slice(image->GetChipImage(), 0x34000, 4), (Bytes{0x00, 0x10, 0x00, 0x11}));
    EXPECT_EQ(image->GetChipImage()[0x34000 + 27], 0x1D);
    EXPECT_EQ(Slice(image->GetWordImage(), 0x4E000, 6),
              (Bytes{0x00, 0x10, 0x10, 0x00, 0x11, 0x11}));
    EXPECT_EQ(image->GetWordImage()[0x4E000 + 41], 0x1D);
}

TEST_F(InfoRecordTest, KL500AndKR130WriteTheRecordAndPairsWithSums) {
    const std::pair<int, size_t> bodies[] = {{7, 0xB0000}, {11, 0x100000}};
    for (const auto& [index, length] : bodies) {
        SCOPED_TRACE(index);
        const auto image = Stamped(index, Pattern(length));
        const size_t info = static_cast<size_t>(image->InfoOffset());
        const size_t window = static_cast<size_t>(image->WindowStart());
        EXPECT_EQ(Slice(image->GetChipImage(), info, 3), (Bytes{0x10, 0x11, 0x12}));
        EXPECT_EQ(image->GetChipImage()[info + 13], 0x1D);
        EXPECT_EQ(Slice(image->GetWordImage(), window, 6),
                  (Bytes{0x10, 0x11, 0x21, 0x12, 0x13, 0x25}));
        EXPECT_EQ(Slice(image->GetWordImage(), window + 18, 3), (Bytes{0x1C, 0x1D, 0x39}));
    }
}

TEST_F(InfoRecordTest, KR140UsesEvenChipBytesInsideItsFFBlock) {
    const auto image = Stamped(10, Bytes(0x200000));
    const uint8_t* chip = image->GetChipImage();
    EXPECT_EQ(Slice(chip, 0x3E0000, 6), (Bytes{0xFF, 0xFF, 0x10, 0xFF, 0x11, 0xFF}));
    EXPECT_EQ(Slice(image->GetWordImage(), 0x5D0000, 3), (Bytes{0x10, 0x11, 0x21}));
}

TEST_F(InfoRecordTest, KS300SetsFirstBytesOfWordGroupsAndTheirChecks) {
    const Bytes file = Pattern(0x100000);
    const auto image = Stamped(9, file);
    const uint8_t* chip = image->GetChipImage();
    const uint8_t* word = image->GetWordImage();
    for (size_t i = 0; i < 14; ++i) {
        const uint8_t second = file[0x80000 + 192 + i];
        EXPECT_EQ(chip[384 + 2 * i], 0x10 + i);
        EXPECT_EQ(Slice(word, 576 + 3 * i, 3), (Bytes{static_cast<uint8_t>(0x10 + i), second,
                                                      static_cast<uint8_t>(0x10 + i + second)}));
    }
}

TEST_F(InfoRecordTest, KD100AndTheAudioBodiesWriteNothing) {
    for (int index : {1, 2, 3, 4, 5, 6, 8, 12}) {
        SCOPED_TRACE(index);
        const Bytes file = Pattern(0x4000);
        auto image = Open(index, file);
        const int size = image->GetChipImageSize();
        const Bytes before = Slice(image->GetChipImage(), 0, static_cast<size_t>(size));
        image->ClearInfoDirty();
        EXPECT_EQ(image->WriteInfoRecord(Record()), 0);
        EXPECT_EQ(image->IsInfoDirty(), 0);
        EXPECT_EQ(Slice(image->GetChipImage(), 0, static_cast<size_t>(size)), before);
        EXPECT_EQ(image->HasInfoRecord(), index == 12);
    }
}

TEST_F(InfoRecordTest, NothingIsWrittenWithoutAFile) {
    for (int index : {7, 19, 26, 30}) {
        auto image = image::CreateBodyImage(index);
        image->SetResultObject(result);
        image->ClearInfoDirty();
        EXPECT_EQ(image->WriteInfoRecord(Record()), 0);
        EXPECT_EQ(image->IsInfoDirty(), 0);
    }
}

TEST_F(InfoRecordTest, FreedImagesAreRebuiltWithoutTheRecord) {
    const auto image = Stamped(22, Bytes(0xB0000));
    image->FreeImages();
    EXPECT_EQ(Slice(image->GetChipImage(), 38, 2), Bytes(2, 0x00));
}

// The rebuild reuses the dropped images' memory: every byte of both images
// must come from the file again, none from the stamped images before.
TEST_F(InfoRecordTest, FreedImagesAreRebuiltWholeInTheirKeptBuffers) {
    for (int index : {13, 16}) {
        SCOPED_TRACE(index);
        const Bytes file = Pattern(index == 13 ? 0x34000 : 0x2A000, 5);
        const auto image = Open(index, file);
        const auto chipSize = static_cast<size_t>(image->GetChipImageSize());
        const auto wordSize = static_cast<size_t>(image->GetWordImageSize());
        const Bytes chip = Slice(image->GetChipImage(), 0, chipSize);
        const Bytes word = Slice(image->GetWordImage(), 0, wordSize);
        ASSERT_EQ(image->WriteInfoRecord(Record()), 1);
        ASSERT_NE(Slice(image->GetChipImage(), 0, chipSize), chip);
        image->FreeImages();
        EXPECT_EQ(Slice(image->GetChipImage(), 0, chipSize), chip);
        EXPECT_EQ(Slice(image->GetWordImage(), 0, wordSize), word);
    }
}

TEST_F(InfoRecordTest, RecordInsideTheWindowLeavesTheImageChecksumAlone) {
    const auto image = Open(7, Pattern(0xB0000));
    const uint32_t before = image->ComputeImageCheckSum();
    ASSERT_EQ(image->WriteInfoRecord(Record()), 1);
    EXPECT_EQ(image->ComputeImageCheckSum(), before);
}

} // namespace
