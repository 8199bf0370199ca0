#include "image/OTPBinFile.h"

#include "core/Path.h"
#include "image/Acceptance.h"
#include "image/Layouts.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace image {
namespace {

bool FourByteFamily(Family f) {
    return f == Family::SixBit || f == Family::SevenBit;
}

bool WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out && size > 0)
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

} // namespace

C_OTPBinFile::C_OTPBinFile() : C_OTPBinFile(PlainOtpLayout()) {}

C_OTPBinFile::C_OTPBinFile(const BodyLayout& layout) : layout_(&layout) {}

C_OTPBinFile::~C_OTPBinFile() = default;

uint32_t C_OTPBinFile::GetCheckSum() {
    return C_BinFile::GetCheckSum() & 0xFFFF;
}

int C_OTPBinFile::Close() {
    C_BinFile::Close();
    FreeImages();
    spareWord_.reset();
    spareChip_.reset();
    spareWordSize_ = spareChipSize_ = 0;
    ResetResult();
    return 1;
}

void C_OTPBinFile::FreeImages() {
    // A buffer holds at least its image's size; that much is known reusable.
    if (wordImage_) {
        spareWord_ = std::move(wordImage_);
        spareWordSize_ = wordImageSize_;
    }
    wordImageSize_ = 0;
    if (chipImage_) {
        spareChip_ = std::move(chipImage_);
        spareChipSize_ = chipImageSize_;
    }
    chipImageSize_ = 0;
    imageCheckSum_ = 0;
}

std::unique_ptr<uint8_t[]> C_OTPBinFile::TakeBuffer(std::unique_ptr<uint8_t[]>& spare,
                                                    size_t& spareSize, size_t size) {
    if (spare && spareSize >= size) {
        spareSize = 0;
        return std::move(spare);
    }
    spare.reset();
    spareSize = 0;
    return std::make_unique_for_overwrite<uint8_t[]>(size);
}

int C_OTPBinFile::GetUnits() {
    if (layout_->units != 0)
        return static_cast<int>(layout_->units);
    const int length = GetLength();
    return PadsLastGroup() ? length / 4 * 3 : length / 4;
}

int C_OTPBinFile::GetChipImageSize() {
    return FourByteFamily(layout_->family) ? 3 * GetUnits() : GetUnits();
}

int C_OTPBinFile::GetWordImageSize() {
    if (layout_->units == 0 && !PadsLastGroup())
        return GetLength();
    return GetWordImage() ? static_cast<int>(wordImageSize_) : 0;
}

const uint8_t* C_OTPBinFile::GetChipImage() {
    if (!chipImage_) {
        if (!GetContents())
            return nullptr;
        const std::span<const uint8_t> file = ContentsSpan();
        // An empty file holds nothing to burn; a fixed-size layout would make
        // an image of zeros of it.
        if (file.empty()) {
            ReportError("The File \"" + core::C_Path(GetFileName()).GetFileName() + "\" is empty!");
            return nullptr;
        }
        const auto size = static_cast<size_t>(GetChipImageSize());
        auto chip = TakeBuffer(spareChip_, spareChipSize_, size);
        BuildChipImage(file, {chip.get(), size});
        chipImage_ = std::move(chip);
        chipImageSize_ = size;
    }
    return chipImage_.get();
}

const uint8_t* C_OTPBinFile::GetWordImage() {
    if (!wordImage_) {
        if (!GetChipImage())
            return nullptr;
        const size_t size =
            layout_->units == 0 && !PadsLastGroup()
                ? static_cast<size_t>(GetLength())
                : layout::WordImageSize(chipImageSize_, layout_->group, PadsLastGroup());
        auto word = TakeBuffer(spareWord_, spareWordSize_, size);
        layout::WordImage({chipImage_.get(), chipImageSize_}, layout_->group, PadsLastGroup(),
                          {word.get(), size});
        wordImage_ = std::move(word);
        wordImageSize_ = size;
    }
    return wordImage_.get();
}

void C_OTPBinFile::BuildChipImage(std::span<const uint8_t> file, std::span<uint8_t> chip) const {
    const size_t words = layout_->words;
    switch (layout_->family) {
    case Family::SixBit:
        return layout::SixBit(file, chip);
    case Family::SixBitSwapped:
        return layout::SixBitSwapped(file, chip);
    case Family::SevenBit:
        return layout::SevenBit(file, chip);
    case Family::NibbleMerge:
        return layout::NibbleMerge(file, chip);
    case Family::InterleavedHalves:
        return layout::InterleavedHalves(file, chip);
    case Family::PlainCopy:
        return layout::PlainCopy(file, chip);
    case Family::TenBitWordPairs:
        return layout::TenBitWordPairs(file, chip);
    case Family::TenBitConsecutivePlanes:
        return layout::TenBitConsecutivePlanes(file, words, chip);
    case Family::TenBitInterleavedHalves:
        return layout::TenBitInterleavedHalves(file, words, chip);
    case Family::TenBitInterleavedQuarters:
        // 18 bytes 0xFF after the second halves.
        return layout::TenBitInterleavedQuarters(file, words, 18, chip);
    case Family::TwelveBitSplitPlanes:
        return layout::TwelveBitSplitPlanes(file, words, chip);
    case Family::TwelveBitInterleavedHalves:
        return layout::TwelveBitInterleavedHalves(file, words, chip);
    case Family::TwelveBitPairedRegions:
        return layout::TwelveBitPairedRegions(file, words, chip);
    case Family::TenPlusTwoBit:
        return layout::TenPlusTwoBit(file, words, chip);
    }
    std::memset(chip.data(), 0, chip.size());
}

uint32_t C_OTPBinFile::ComputeImageCheckSum() {
    imageCheckSum_ = 0;
    if (!GetWordImage())
        return 0;
    const size_t size = wordImageSize_;
    const size_t start = std::min<size_t>(layout_->windowStart, size);
    const size_t end = std::clamp<size_t>(layout_->windowEnd, start, size);
    const uint8_t* word = wordImage_.get();
    imageCheckSum_ = layout::ByteSum({word, start}) + layout::ByteSum({word + end, size - end}) +
                     static_cast<uint32_t>(end - start) * 255u;
    return imageCheckSum_;
}

bool C_OTPBinFile::SetInfoBlock(const InfoBlock& block) {
    const std::span<uint8_t> word = WordImageForWriting();
    const std::span<uint8_t> chip = ChipImageForWriting();
    const size_t at = layout_->windowStart, info = layout_->infoOffset;
    if (word.size() < at + block.size() || chip.size() < info + 24)
        return false;
    if (std::equal(block.begin(), block.end(), word.begin() + static_cast<ptrdiff_t>(at)))
        return true;
    std::copy(block.begin(), block.end(), word.begin() + static_cast<ptrdiff_t>(at));
    for (size_t k = 0; k < 8; ++k)
        std::copy_n(block.begin() + static_cast<ptrdiff_t>(4 * k), 3,
                    chip.begin() + static_cast<ptrdiff_t>(info + 3 * k));
    infoDirty_ = 1;
    imageCheckSum_ = 0;
    return false;
}

std::span<uint8_t> C_OTPBinFile::ChipImageForWriting() {
    if (!GetChipImage())
        return {};
    return {chipImage_.get(), chipImageSize_};
}

std::span<uint8_t> C_OTPBinFile::WordImageForWriting() {
    if (!GetWordImage())
        return {};
    return {wordImage_.get(), wordImageSize_};
}

int C_OTPBinFile::SaveSideFiles(int withContents) {
    core::C_Path path(GetFileName());
    const uint8_t* word = GetWordImage();
    const uint8_t* chip = GetChipImage();
    if (!word || !chip)
        return 0;
    struct Side {
        const char* ext;
        const uint8_t* data;
        size_t size;
    };
    const Side sides[] = {{".Flash.bin", word, wordImageSize_},
                          {".OTP.bin", chip, chipImageSize_},
                          {".Buffer.bin", GetContents(), static_cast<size_t>(GetLength())}};
    const size_t count = withContents ? 3 : 2;
    for (size_t i = 0; i < count; ++i) {
        path.SetExt(sides[i].ext);
        const std::string name = path.GetFullPath();
        if (!WriteWhole(name, sides[i].data, sides[i].size)) {
            ReportError("Cannot write the file \"" + name + "\"!");
            return 0;
        }
    }
    return 1;
}

uint32_t C_OTPBinFile::GetXdeInfo() {
    if (!GetContents())
        return 0;
    return ReadXdeInfo(layout_->index, ContentsSpan());
}

} // namespace image
