// The firmware's table of bodies against the program: every body's layout,
// profile entry and image object, and the chip a whole program and read-back
// of each body's image leaves.
#include "SimHost.h"

#include "image/BodyTable.h"
#include "image/ChipBinFiles.h"
#include "image/OTPBodyProfiler.h"
#include "sim/BodyCodes.h"
#include "tests/support/ProgramFolder.h"

#include <algorithm>

namespace simtest {
namespace {

// The smallest file length body `index` accepts.
uint32_t SmallestFile(int index) {
    const image::SizeRule& rule = *image::FindSizeRule(index);
    if (rule.lengths.empty())
        return std::min<uint32_t>(rule.upTo, 0x2000);
    return *std::min_element(rule.lengths.begin(), rule.lengths.end());
}

TEST(SimBodyCodes, MatchTheBodyLayoutsOfEveryBody) {
    for (const image::BodyLayout& layout : image::BodyLayouts()) {
        SCOPED_TRACE(layout.index);
        const sim::BodyCode* code = sim::FindBodyCode(uint8_t(layout.index));
        ASSERT_NE(code, nullptr);
        EXPECT_EQ(code->group, layout.group);
        EXPECT_EQ(code->window.start, layout.windowStart);
        EXPECT_EQ(code->window.end, layout.windowEnd);
    }
    EXPECT_EQ(sim::FindBodyCode(0), nullptr);
    EXPECT_EQ(sim::FindBodyCode(35), nullptr);
    EXPECT_EQ(sim::RecordWindowOf(35).end, 0u);
}

// Each body as the engine drives it with the shipped profile: its word image
// loaded, programmed to its last unit and read back over the body's read
// size gives the chip image the program built, then blank bytes.
class SimEveryBody : public SimHostTest {
protected:
    testsupport::ProgramFolder folder;
};

TEST_F(SimEveryBody, ProgramsAndReadsBackTheChipImageOfEveryBody) {
    image::C_OTPBodyProfiler profile(BURNWRIGHT_SHIPPED_PROFILE);
    for (int index = image::kFirstBody; index <= image::kLastBody; ++index) {
        SCOPED_TRACE(index);
        profile.SetCurrentIndex(index);
        const uint8_t codeByte = uint8_t(profile.GetFwBody());
        const sim::BodyCode* code = sim::FindBodyCode(codeByte);
        ASSERT_NE(code, nullptr);

        std::string file(SmallestFile(index), '\0');
        for (size_t i = 0; i < file.size(); ++i)
            file[i] = char((i * 37) ^ (i >> 8) ^ index);
        testsupport::ProgramFolder::Write(folder.File("image.bin"), file);
        auto img = image::CreateBodyImage(index);
        ASSERT_EQ(img->SetFileName(folder.File("image.bin")), 1);
        const uint8_t* chipImage = img->GetChipImage();
        const size_t chipSize = size_t(img->GetChipImageSize());
        // The end address the program sends covers the chip image exactly,
        // and the body's OTP size and read size cover that.
        ASSERT_EQ(size_t(img->GetUnits()) * code->bytesPerAddress, chipSize);
        const uint32_t otpEnd = uint32_t(profile.GetOTPSize()) - 1;
        const uint32_t end = std::min(uint32_t(img->GetLastUnit()), otpEnd);
        ASSERT_EQ(end, uint32_t(img->GetLastUnit()));
        const size_t readSize = size_t(profile.GetOTPBinSize()) * 1024;
        ASSERT_GE(readSize, chipSize);
        ASSERT_EQ(code->ChipBytes(otpEnd), readSize);

        const size_t wordSize = size_t(img->GetWordImageSize());
        const uint32_t length = uint32_t((wordSize + 255) / 256 * 256);
        Bytes block(length, 0xFF);
        std::copy_n(img->GetWordImage(), wordSize, block.begin());
        writer_->RemoveChip(0);
        writer_->InsertChip(0);
        SendMasked(Packet({0x22}), 0x0001);
        SendMasked(AddressPacket(0x23, length), 0x0001);
        Send(block);
        SendMasked(AddressPacket(0x1E, otpEnd, codeByte), 0x0001);
        SendMasked(AddressPacket(0x1F, end, codeByte), 0x0001);
        SendMasked(AddressPacket(0x20, end, codeByte), 0x0001);
        ASSERT_EQ(Status()[0], 1);

        Send(AddressPacket(0x2E, otpEnd, codeByte));
        const Bytes read = ReceiveOk(readSize);
        EXPECT_TRUE(std::equal(chipImage, chipImage + chipSize, read.begin()));
        EXPECT_TRUE(std::all_of(read.begin() + long(chipSize), read.end(),
                                [](uint8_t b) { return b == 0xFF; }));
    }
}

} // namespace
} // namespace simtest
