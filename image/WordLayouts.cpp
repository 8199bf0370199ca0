// Layout families over sixteen-bit file words: the twelve-bit families and
// the ten-bit families.
#include "image/Layouts.h"

#include "image/PaddedInput.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace image::layout {
namespace {

void ZeroFrom(Out out, size_t from) {
    if (from < out.size())
        std::memset(out.data() + from, 0, out.size() - from);
}

void Fill(Out out, size_t from, size_t count, uint8_t value) {
    from = std::min(from, out.size());
    count = std::min(count, out.size() - from);
    if (count > 0)
        std::memset(out.data() + from, value, count);
}

#if defined(__x86_64__) && defined(__GNUC__)
// `loop` compiled for 256-bit vectors: flattening inlines the loop here, where
// the compiler may use the wider registers.
template <typename Loop, typename... Args>
__attribute__((target("avx2"), flatten)) void RunWide(const Loop& loop, Args... args) {
    loop(args...);
}
#endif

// Runs a layout loop with the widest vectors allowed; the results are the same.
// Loops take their pointers and counts as arguments, not captures: the
// compiler must reload a capture after every byte store, which keeps it from
// vectorising.
template <typename Loop, typename... Args> void Run(const Loop& loop, Args... args) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (WideVectorsInUse())
        return RunWide(loop, args...);
#endif
    loop(args...);
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
    uint8_t* nibbles = out + 2 * halfWords;
    // Both halves in one pass: word k of each half gives chip bytes 2k, 2k+1.
    const uint8_t* a = in.data();
    const uint8_t* b = in.data() + 2 * halfWords;
    for (size_t k = 0; k < halfWords / 2; ++k) {
        const uint8_t* p = a + 4 * k;
        const uint8_t* q = b + 4 * k;
        out[4 * k] = p[0];
        out[4 * k + 1] = q[0];
        out[4 * k + 2] = p[2];
        out[4 * k + 3] = q[2];
        nibbles[2 * k] = static_cast<uint8_t>(Nib(p[1]) | (Nib(p[3]) << 4));
        nibbles[2 * k + 1] = static_cast<uint8_t>(Nib(q[1]) | (Nib(q[3]) << 4));
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
    Run(
        [](const uint8_t* from, uint8_t* to, size_t count) {
            // Four words (eight bytes) at a time; count is a multiple of four.
            // The mask keeps the low bytes and bits 8-9 whatever the byte order.
            const uint8_t maskBytes[8] = {0xFF, 0x03, 0xFF, 0x03, 0xFF, 0x03, 0xFF, 0x03};
            uint64_t mask;
            std::memcpy(&mask, maskBytes, 8);
            uint8_t* packed = to + 2 * count;
            for (size_t g = 0; g < count / 4; ++g) {
                const uint8_t* p = from + 8 * g;
                uint64_t four;
                std::memcpy(&four, p, 8);
                four &= mask;
                std::memcpy(to + 8 * g, &four, 8);
                packed[2 * g] =
                    static_cast<uint8_t>(((p[1] >> 2) & 0x03) | (((p[3] >> 2) & 0x03) << 2) |
                                         (((p[5] >> 2) & 0x03) << 4) | (((p[7] >> 2) & 0x03) << 6));
                packed[2 * g + 1] = 0;
            }
        },
        w, out, words);
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
    Run(
        [](const uint8_t* from, uint8_t* to, size_t count) {
            for (size_t k = 0; k < count; ++k) {
                to[2 * k] = TenBitTop(from[2 * k]);
                to[2 * k + 1] = TenBitLow(from[2 * k], from[2 * k + 1]);
            }
        },
        in, out, values);
    ZeroFrom(chip, 2 * values);
}

void TenBitConsecutivePlanes(Bytes file, size_t lowBytes, Out chip) {
    lowBytes = std::min(lowBytes, chip.size() * 4 / 5);
    TenBitPlanes(file, chip.first(lowBytes), chip.subspan(lowBytes, lowBytes / 4));
    ZeroFrom(chip, lowBytes + lowBytes / 4);
}

namespace {

// Low-plane byte k and packed top-bits byte j, read from a zero-padded input.
// Closures rather than functions, so that the plane loops inline them.
constexpr auto LowAt = [](const uint8_t* in, size_t k) {
    return TenBitLow(in[2 * k], in[2 * k + 1]);
};
constexpr auto PackedAt = [](const uint8_t* in, size_t j) {
    const uint8_t* p = in + 8 * j;
    return static_cast<uint8_t>(TenBitTop(p[0]) | (TenBitTop(p[2]) << 2) | (TenBitTop(p[4]) << 4) |
                                (TenBitTop(p[6]) << 6));
};

// out[2k] = plane[a + k], out[2k+1] = plane[b + k] for k < count.
template <typename At>
void PairPlane(uint8_t* out, const uint8_t* in, size_t a, size_t b, size_t count, At) {
    Run(
        [](uint8_t* to, const uint8_t* from, size_t first, size_t second, size_t n) {
            for (size_t k = 0; k < n; ++k) {
                to[2 * k] = At{}(from, first + k);
                to[2 * k + 1] = At{}(from, second + k);
            }
        },
        out, in, a, b, count);
}

// The file's whole values, at most `values` of them: a trailing odd byte is no value.
Bytes WholeValues(Bytes file, size_t values) {
    return file.first(std::min(file.size() / 2, values) * 2);
}

// The packed byte of a last incomplete group of four values is dropped: the
// zero padding must not lend it the top bits of the values the file has.
// Returns the index of that byte, or SIZE_MAX when there is none.
size_t IncompleteGroup(Bytes file, size_t lowBytes) {
    const size_t values = std::min(file.size() / 2, lowBytes);
    return values % 4 ? values / 4 : SIZE_MAX;
}

} // namespace

void TenBitInterleavedHalves(Bytes file, size_t lowBytes, Out chip) {
    lowBytes = std::min(lowBytes, chip.size() * 4 / 5);
    lowBytes -= lowBytes % 8;
    file = WholeValues(file, lowBytes);
    PaddedInput in(file, 2 * lowBytes);
    const size_t lowHalf = lowBytes / 2, packedHalf = lowBytes / 8;
    uint8_t* out = chip.data();
    PairPlane(out, in.data(), 0, lowHalf, lowHalf, LowAt);
    PairPlane(out + lowBytes, in.data(), 0, packedHalf, packedHalf, PackedAt);
    const size_t dropped = IncompleteGroup(file, lowBytes);
    if (dropped < 2 * packedHalf)
        out[lowBytes + 2 * (dropped % packedHalf) + dropped / packedHalf] = 0;
    // The planes end on an even byte: the fill is whole pairs, plus a last 0x00
    // when the image size is odd.
    size_t i = lowBytes + 2 * packedHalf;
    for (; i + 1 < chip.size(); i += 2) {
        out[i] = 0x00;
        out[i + 1] = 0xFF;
    }
    if (i < chip.size())
        out[i] = 0x00;
}

void TenBitInterleavedQuarters(Bytes file, size_t lowBytes, size_t tailFill, Out chip) {
    lowBytes = std::min(lowBytes, chip.size() * 4 / 5);
    lowBytes -= lowBytes % 16;
    file = WholeValues(file, lowBytes);
    PaddedInput in(file, 2 * lowBytes);
    const size_t lowQ = lowBytes / 4, packedQ = lowBytes / 16;
    const size_t half = chip.size() / 2;
    uint8_t* out = chip.data();
    // First halves of both planes from byte 0, second halves from the middle.
    const size_t packedAt[2] = {2 * lowQ, half + 2 * lowQ};
    PairPlane(out, in.data(), 0, lowQ, lowQ, LowAt);
    PairPlane(out + packedAt[0], in.data(), 0, packedQ, packedQ, PackedAt);
    Fill(chip, packedAt[0] + 2 * packedQ, half - packedAt[0] - 2 * packedQ, 0xFF);
    PairPlane(out + half, in.data(), 2 * lowQ, 3 * lowQ, lowQ, LowAt);
    PairPlane(out + packedAt[1], in.data(), 2 * packedQ, 3 * packedQ, packedQ, PackedAt);
    const size_t dropped = IncompleteGroup(file, lowBytes);
    if (dropped < 4 * packedQ)
        out[packedAt[dropped / (2 * packedQ)] + 2 * (dropped % packedQ) + (dropped / packedQ) % 2] =
            0;
    const size_t end = packedAt[1] + 2 * packedQ;
    ZeroFrom(chip, end);
    Fill(chip, end, tailFill, 0xFF);
}

} // namespace image::layout
