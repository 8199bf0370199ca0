// Placing the 14-byte information record, each body its own way.
#include "image/OTPBinFile.h"

#include <vector>

namespace image {
namespace {

// Writes `bytes` at offset, offset + stride, ...; bytes that would fall
// outside the buffer are left out.
void Put(std::span<uint8_t> buffer, size_t offset, const std::vector<uint8_t>& bytes,
         size_t stride = 1) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t at = offset + i * stride;
        if (at >= buffer.size())
            return;
        buffer[at] = bytes[i];
    }
}

// r1 .. r13 followed by r0: the order the twelve-bit chips keep the record in.
std::vector<uint8_t> RotatedRecord(const InfoRecord& r) {
    std::vector<uint8_t> out(r.begin() + 1, r.end());
    out.push_back(r[0]);
    return out;
}

std::vector<uint8_t> WithPrefix(std::vector<uint8_t> prefix, const std::vector<uint8_t>& rest) {
    prefix.insert(prefix.end(), rest.begin(), rest.end());
    return prefix;
}

// r0 r1 (r0+r1) r2 r3 (r2+r3) ... : the record in word-image groups of two.
std::vector<uint8_t> PairsWithSums(const InfoRecord& r) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < r.size(); i += 2) {
        out.push_back(r[i]);
        out.push_back(r[i + 1]);
        out.push_back(static_cast<uint8_t>(r[i] + r[i + 1]));
    }
    return out;
}

// Sixteen-bit little-endian words as bytes.
std::vector<uint8_t> LittleEndian(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> out;
    for (uint16_t w : words) {
        out.push_back(static_cast<uint8_t>(w & 0xFF));
        out.push_back(static_cast<uint8_t>(w >> 8));
    }
    return out;
}

bool SizedByWordImage(RecordPlacement p) {
    return p == RecordPlacement::ZeroPairs || p == RecordPlacement::ConsecutiveSums ||
           p == RecordPlacement::EvenSums || p == RecordPlacement::EvenGroupCheck;
}

} // namespace

int C_OTPBinFile::WriteInfoRecord(const InfoRecord& r) {
    using P = RecordPlacement;
    const P placement = layout_->record;
    if (placement == P::None || placement == P::Nothing)
        return 0;
    const int size = SizedByWordImage(placement) ? GetWordImageSize() : GetChipImageSize();
    if (size == 0)
        return 0;
    const std::vector<uint8_t> record(r.begin(), r.end());
    const size_t info = layout_->infoOffset, window = layout_->windowStart;

    if (placement == P::FileContents) {
        std::span<uint8_t> contents = ContentsSpan();
        if (contents.empty())
            return 0;
        Put(contents, info, record, 2);
        // The record lives in the contents: the images must be built again to carry it.
        FreeImages();
        infoDirty_ = 1;
        return 1;
    }

    const std::span<uint8_t> chip = ChipImageForWriting();
    if (chip.empty())
        return 0;
    switch (placement) {
    case P::FFFFThenRecord:
        Put(chip, info, WithPrefix({0xFF, 0xFF}, RotatedRecord(r)));
        break;
    case P::FFThenRecordEven:
        Put(chip, info, WithPrefix({0xFF}, RotatedRecord(r)), 2);
        break;
    case P::EvenBytes:
        Put(chip, info, record, 2);
        break;
    case P::WidenedWords: {
        const std::vector<uint8_t> bytes = WithPrefix({0x00, 0x00}, RotatedRecord(r));
        Put(chip, info, LittleEndian(std::vector<uint16_t>(bytes.begin(), bytes.end())));
        break;
    }
    case P::WordBlock: {
        auto word = [&](size_t hi, size_t lo) { return static_cast<uint16_t>(r[hi] << 8 | r[lo]); };
        Put(chip, info,
            LittleEndian({0xFFFF, 0xFFFF, 0xFFFF, word(2, 1), word(4, 3), word(6, 5), 0xFFFF,
                          word(8, 7), static_cast<uint16_t>(0xFF00 | r[11]), word(10, 9), 0xFFFF,
                          word(13, 12), 0xFFFF, 0xFFFF, 0xFFFF, r[0]}));
        break;
    }
    case P::ZeroPairs: {
        std::vector<uint8_t> chipBytes, wordBytes;
        for (uint8_t b : record) {
            chipBytes.insert(chipBytes.end(), {0x00, b});
            wordBytes.insert(wordBytes.end(), {0x00, b, b});
        }
        Put(chip, info, chipBytes);
        Put(WordImageForWriting(), window, wordBytes);
        break;
    }
    case P::ConsecutiveSums:
        Put(chip, info, record);
        Put(WordImageForWriting(), window, PairsWithSums(r));
        break;
    case P::EvenSums:
        Put(chip, info, record, 2);
        Put(WordImageForWriting(), window, PairsWithSums(r));
        break;
    case P::EvenGroupCheck: {
        Put(chip, info, record, 2);
        const std::span<uint8_t> word = WordImageForWriting();
        for (size_t i = 0; i < record.size(); ++i) {
            const size_t group = window + 3 * i;
            if (group + 2 >= word.size())
                break;
            word[group] = record[i];
            word[group + 2] = static_cast<uint8_t>(record[i] + word[group + 1]);
        }
        break;
    }
    case P::None:
    case P::Nothing:
    case P::FileContents:
        break;
    }
    infoDirty_ = 1;
    return 1;
}

} // namespace image
