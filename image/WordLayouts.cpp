// Layout families over sixteen-bit file words: the twelve-bit families and
// the ten-bit families.
#include "image/Layouts.h"

#include "image/PaddedInput.h"

#include <algorithm>
#include <cstring>

namespace image::layout {
namespace {

void ZeroFrom(Out out, size_t from) {
    if (from < out.size())
        std::memset(out.data() + from, 0, out.size() - from);
}

void Fill(Out out, size_t from, size_t count, uint8_t value) {
    from = std::min(from, out.size());
    count = std::min(count, out.size() - from);
    std::memset(out.data() + from, value, count);
}

// Bits 8-11 of the little-endian word whose high byte is `high`.
inline uint8_t Nib(uint8_t high) {
    return high & 0x0F;
}

} // namespace

void TwelveBitSplitPlanes(Bytes file, size_t words, Out chip) {
    words = std::min(words, chip.size() * 2 / 3);
    PaddedInput in(file, 2 * words);
    const uint8_t* w = in.data();
    uint8_t* low = chip.data();
    uint8_t* nibbles = chip.data() + words;
    const size_t pairs = words / 2;
    for (size_t k = 0; k < pairs; ++k) {
        const uint8_t* p = w + 4 * k;
        low[2 * k] = p[0];
        low[2 * k + 1] = p[2];
        nibbles[k] = static_cast<uint8_t>(Nib(p[1]) | (Nib(p[3]) << 4));
    }
    if (words % 2)
        low[words - 1] = w[2 * (words - 1)];
    ZeroFrom(chip, words + pairs);
}

void TwelveBitInterleavedHalves(Bytes file, size_t halfWords, Out chip) {
    halfWords = std::min(halfWords, chip.size() / 3);
    halfWords -= halfWords % 2;
    PaddedInput in(file, 4 * halfWords);
    uint8_t* out = chip.data();
    const size_t nibbleStart = 2 * halfWords;
    for (size_t h = 0; h < 2; ++h) {
        const uint8_t* w = in.data() + h * 2 * halfWords;
        for (size_t k = 0; k < halfWords / 2; ++k) {
            const uint8_t* p = w + 4 * k;
            out[4 * k + h] = p[0];
            out[4 * k + 2 + h] = p[2];
            out[nibbleStart + 2 * k + h] = static_cast<uint8_t>(Nib(p[1]) | (Nib(p[3]) << 4));
        }
    }
    Fill(chip, 3 * halfWords, chip.size(), 0xFF);
}

void TwelveBitPairedRegions(Bytes file, size_t regionWords, Out chip) {
    regionWords = std::min(regionWords, chip.size() / 6);
    const size_t regionBytes = 2 * regionWords;
    PaddedInput in(file, 4 * regionBytes);
    uint8_t* out = chip.data();
    for (size_t pair = 0; pair < 2; ++pair) {
        const uint8_t* a = in.data() + 2 * pair * regionBytes;
        const uint8_t* b = a + regionBytes;
        uint8_t* o = out + pair * 3 * regionWords;
        for (size_t m = 0; m < regionWords; ++m) {
            o[3 * m] = a[2 * m];
            o[3 * m + 1] = b[2 * m];
            o[3 * m + 2] = static_cast<uint8_t>((Nib(a[2 * m + 1]) << 4) | Nib(b[2 * m + 1]));
        }
    }
    ZeroFrom(chip, 6 * regionWords);
}

void TenPlusTwoBit(Bytes file, size_t words, Out chip) {
    words = std::min(words, chip.size() * 2 / 5);
    words -= words % 4;
    PaddedInput in(file, 2 * words);
    const uint8_t* w = in.data();
    uint8_t* out = chip.data();
    for (size_t k = 0; k < words; ++k) {
        out[2 * k] = w[2 * k];
        out[2 * k + 1] = w[2 * k + 1] & 0x03;
    }
    uint8_t* packed = out + 2 * words;
    for (size_t g = 0; g < words / 4; ++g) {
        const uint8_t* p = w + 8 * g;
        packed[2 * g] =
            static_cast<uint8_t>(((p[1] >> 2) & 0x03) | (((p[3] >> 2) & 0x03) << 2) |
                                 (((p[5] >> 2) & 0x03) << 4) | (((p[7] >> 2) & 0x03) << 6));
        packed[2 * g + 1] = 0;
    }
    ZeroFrom(chip, 2 * words + words / 2);
}

void TenBitPlanes(Bytes file, Out low, Out packed) {
    const size_t values = std::min(file.size() / 2, low.size());
    const uint8_t* in = file.data();
    for (size_t k = 0; k < values; ++k)
        low[k] = TenBitLow(in[2 * k], in[2 * k + 1]);
    ZeroFrom(low, values);
    const size_t groups = std::min(values / 4, packed.size());
    for (size_t g = 0; g < groups; ++g) {
        const uint8_t* p = in + 8 * g;
        packed[g] = static_cast<uint8_t>(TenBitTop(p[0]) | (TenBitTop(p[2]) << 2) |
                                         (TenBitTop(p[4]) << 4) | (TenBitTop(p[6]) << 6));
    }
    ZeroFrom(packed, groups);
}

void TenBitWordPairs(Bytes file, Out chip) {
    const size_t values = std::min(file.size() / 2, chip.size() / 2);
    const uint8_t* in = file.data();
    uint8_t* out = chip.data();
    for (size_t k = 0; k < values; ++k) {
        out[2 * k] = TenBitTop(in[2 * k]);
        out[2 * k + 1] = TenBitLow(in[2 * k], in[2 * k + 1]);
    }
    ZeroFrom(chip, 2 * values);
}

void TenBitConsecutivePlanes(Bytes file, size_t lowBytes, Out chip) {
    lowBytes = std::min(lowBytes, chip.size() * 4 / 5);
    TenBitPlanes(file, chip.first(lowBytes), chip.subspan(lowBytes, lowBytes / 4));
    ZeroFrom(chip, lowBytes + lowBytes / 4);
}

namespace {

// out[2k] = a[k], out[2k+1] = b[k] for k < count.
void PairBytes(const uint8_t* a, const uint8_t* b, size_t count, uint8_t* out) {
    for (size_t k = 0; k < count; ++k) {
        out[2 * k] = a[k];
        out[2 * k + 1] = b[k];
    }
}

} // namespace

void TenBitInterleavedHalves(Bytes file, size_t lowBytes, Out chip) {
    lowBytes = std::min(lowBytes, chip.size() * 4 / 5);
    lowBytes -= lowBytes % 8;
    std::vector<uint8_t> low(lowBytes), packed(lowBytes / 4);
    TenBitPlanes(file, low, packed);
    const size_t lowHalf = lowBytes / 2, packedHalf = packed.size() / 2;
    uint8_t* out = chip.data();
    PairBytes(low.data(), low.data() + lowHalf, lowHalf, out);
    PairBytes(packed.data(), packed.data() + packedHalf, packedHalf, out + lowBytes);
    for (size_t i = lowBytes + packed.size(); i < chip.size(); ++i)
        out[i] = (i % 2) ? 0xFF : 0x00;
}

void TenBitInterleavedQuarters(Bytes file, size_t lowBytes, size_t tailFill, Out chip) {
    lowBytes = std::min(lowBytes, chip.size() * 4 / 5);
    lowBytes -= lowBytes % 16;
    const size_t packedBytes = lowBytes / 4;
    const size_t gapBytes = chip.size() / 2 - (lowBytes + packedBytes) / 2;
    std::vector<uint8_t> low(lowBytes), packed(packedBytes);
    TenBitPlanes(file, low, packed);
    const size_t lowQ = lowBytes / 4, packedQ = packedBytes / 4;
    uint8_t* out = chip.data();
    size_t at = 0;
    PairBytes(low.data(), low.data() + lowQ, lowQ, out + at);
    at += 2 * lowQ;
    PairBytes(packed.data(), packed.data() + packedQ, packedQ, out + at);
    at += 2 * packedQ;
    Fill(chip, at, gapBytes, 0xFF);
    at += gapBytes;
    PairBytes(low.data() + 2 * lowQ, low.data() + 3 * lowQ, lowQ, out + at);
    at += 2 * lowQ;
    PairBytes(packed.data() + 2 * packedQ, packed.data() + 3 * packedQ, packedQ, out + at);
    at += 2 * packedQ;
    ZeroFrom(chip, at);
    Fill(chip, at, tailFill, 0xFF);
}

} // namespace image::layout
