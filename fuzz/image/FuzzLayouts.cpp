// Every layout family on arbitrary bytes. Byte 0 picks the family, bytes 1-2
// the chip-image size, bytes 3-4 the family's word count, byte 5 the
// word-image group; the rest is the file.
#include "image/Layouts.h"

#include <vector>

namespace layout = image::layout;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6)
        return 0;
    const unsigned family = data[0] % 14;
    const size_t chipSize = static_cast<size_t>(data[1] | data[2] << 8);
    const size_t words = static_cast<size_t>(data[3] | data[4] << 8);
    const size_t group = data[5] % 9;
    const layout::Bytes file(data + 6, size - 6);
    std::vector<uint8_t> chip(chipSize);
    const layout::Out out(chip);
    switch (family) {
    case 0:
        layout::SixBit(file, out);
        break;
    case 1:
        layout::SixBitSwapped(file, out);
        break;
    case 2:
        layout::SevenBit(file, out);
        break;
    case 3:
        layout::NibbleMerge(file, out);
        break;
    case 4:
        layout::PlainCopy(file, out);
        break;
    case 5:
        layout::InterleavedHalves(file, out);
        break;
    case 6:
        layout::TwelveBitSplitPlanes(file, words, out);
        break;
    case 7:
        layout::TwelveBitInterleavedHalves(file, words, out);
        break;
    case 8:
        layout::TwelveBitPairedRegions(file, words, out);
        break;
    case 9:
        layout::TenPlusTwoBit(file, words, out);
        break;
    case 10:
        layout::TenBitWordPairs(file, out);
        break;
    case 11:
        layout::TenBitConsecutivePlanes(file, words, out);
        break;
    case 12:
        layout::TenBitInterleavedHalves(file, words, out);
        break;
    default:
        layout::TenBitInterleavedQuarters(file, words, data[4], out);
        break;
    }
    for (bool pad : {false, true}) {
        std::vector<uint8_t> word(layout::WordImageSize(chip.size(), group, pad) + data[3] % 4);
        layout::WordImage(chip, group, pad, word);
    }
    layout::ByteSum(file);
    return 0;
}
