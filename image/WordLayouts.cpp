// Layout families over sixteen-bit file words: the twelve-bit families and
// the ten-bit families.
#include "image/Layouts.h"

#include "image/PaddedInput.h"
#include "image/Squeeze.h"

#include <algorithm>
#include <cstring>
#include <memory>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define BW_WIDE_PLANES 1
#endif

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

namespace {

// Word m of regions A and B side by side in a 32-bit lane (low(A), hi(A),
// low(B), hi(B)) becomes its three chip bytes in the low 24 bits. A macro, so
// the same text serves vectors of both widths.
#define BW_PAIRED_WORD(u) (((u)&0xFF) | (((u) >> 8) & 0x0FFF00) | (((u) << 12) & 0xF00000))

// Each loop below returns the words it did. A 16-byte store passes its twelve
// bytes by four, which the next store (or the next pair of regions, or the
// zero fill) writes again; no store passes `room` bytes.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) size_t PairedWordsWide(const uint8_t* a, const uint8_t* b,
                                                       size_t words, size_t room, uint8_t* out) {
    using U32x8 = uint32_t __attribute__((vector_size(32)));
    size_t m = 0;
    for (; m + 16 <= words && 3 * m + 52 <= room; m += 16) {
        const __m256i wa = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 2 * m));
        const __m256i wb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 2 * m));
        // Low halves: words 0-3 and 8-11; high halves: words 4-7 and 12-15.
        __m256i bytes[2];
        for (int half = 0; half < 2; ++half) {
            const U32x8 u = reinterpret_cast<U32x8>(half ? _mm256_unpackhi_epi16(wa, wb)
                                                         : _mm256_unpacklo_epi16(wa, wb));
            bytes[half] = Squeeze12Wide(reinterpret_cast<__m256i>(BW_PAIRED_WORD(u)));
        }
        uint8_t* o = out + 3 * m;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(bytes[0]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 12), _mm256_castsi256_si128(bytes[1]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 24), _mm256_extracti128_si256(bytes[0], 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 36), _mm256_extracti128_si256(bytes[1], 1));
    }
    return m;
}
#endif

#if defined(__SSE2__)
size_t PairedWords(const uint8_t* a, const uint8_t* b, size_t words, size_t room, uint8_t* out) {
    using U32x4 = uint32_t __attribute__((vector_size(16)));
    size_t m = 0;
    for (; m + 8 <= words && 3 * m + 28 <= room; m += 8) {
        const __m128i wa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 2 * m));
        const __m128i wb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2 * m));
        for (int half = 0; half < 2; ++half) {
            const U32x4 u = reinterpret_cast<U32x4>(half ? _mm_unpackhi_epi16(wa, wb)
                                                         : _mm_unpacklo_epi16(wa, wb));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * m + 12 * half),
                             Squeeze12(reinterpret_cast<__m128i>(BW_PAIRED_WORD(u))));
        }
    }
    return m;
}
#endif

} // namespace

void TwelveBitPairedRegions(Bytes file, size_t regionWords, Out chip) {
    regionWords = std::min(regionWords, chip.size() / 6);
    const size_t regionBytes = 2 * regionWords;
    PaddedInput in(file, 4 * regionBytes);
    uint8_t* out = chip.data();
    for (size_t pair = 0; pair < 2; ++pair) {
        const uint8_t* a = in.data() + 2 * pair * regionBytes;
        const uint8_t* b = a + regionBytes;
        uint8_t* o = out + pair * 3 * regionWords;
        const size_t room = chip.size() - pair * 3 * regionWords;
        size_t m = 0;
#if defined(__x86_64__) && defined(__GNUC__)
        if (WideVectorsInUse())
            m = PairedWordsWide(a, b, regionWords, room, o);
#endif
#if defined(__SSE2__)
        m += PairedWords(a + 2 * m, b + 2 * m, regionWords - m, room - 3 * m, o + 3 * m);
#endif
        for (; m < regionWords; ++m) {
            const uint32_t u = a[2 * m] | a[2 * m + 1] << 8 | b[2 * m] << 16 |
                               static_cast<uint32_t>(b[2 * m + 1]) << 24;
            const uint32_t bytes = BW_PAIRED_WORD(u);
            o[3 * m] = static_cast<uint8_t>(bytes);
            o[3 * m + 1] = static_cast<uint8_t>(bytes >> 8);
            o[3 * m + 2] = static_cast<uint8_t>(bytes >> 16);
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

namespace {

// The ten-bit planes, byte by byte and sixteen plane bytes at a time. A low
// plane byte takes one value (two file bytes h l), a packed byte four values.
struct LowPlane {
    static constexpr size_t kFileBytes = 2;
    static uint8_t At(const uint8_t* in, size_t k) { return TenBitLow(in[2 * k], in[2 * k + 1]); }
#if defined(__SSE2__)
    // Each 16-bit lane holds one value as h | l << 8.
    static __m128i Sixteen(const uint8_t* p) {
        const auto low = [](__m128i w) {
            return _mm_or_si128(_mm_and_si128(_mm_slli_epi16(w, 5), _mm_set1_epi16(0xE0)),
                                _mm_and_si128(_mm_srli_epi16(w, 8), _mm_set1_epi16(0x1F)));
        };
        return _mm_packus_epi16(low(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                low(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))));
    }
#endif
#if defined(BW_WIDE_PLANES)
    // The same for 32 values; the pack works per 128-bit lane, the permute
    // puts its quarters back in order.
    __attribute__((target("avx2"))) static __m256i Low(__m256i w) {
        return _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(w, 5), _mm256_set1_epi16(0xE0)),
                               _mm256_and_si256(_mm256_srli_epi16(w, 8), _mm256_set1_epi16(0x1F)));
    }
    __attribute__((target("avx2"))) static __m256i ThirtyTwo(const uint8_t* p) {
        const __m256i packed =
            _mm256_packus_epi16(Low(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))),
                                Low(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))));
        return _mm256_permute4x64_epi64(packed, 0xD8);
    }
#endif
};

struct PackedPlane {
    static constexpr size_t kFileBytes = 8;
    static uint8_t At(const uint8_t* in, size_t j) {
        const uint8_t* p = in + 8 * j;
        return static_cast<uint8_t>(TenBitTop(p[0]) | (TenBitTop(p[2]) << 2) |
                                    (TenBitTop(p[4]) << 4) | (TenBitTop(p[6]) << 6));
    }
#if defined(__SSE2__)
    // The top bits of 64 values: multiply-adds merge neighbours, two bits to
    // four, four to eight, and saturating packs (never reached) gather them.
    static __m128i Sixteen(const uint8_t* p) {
        const __m128i top = _mm_set1_epi16(0x03);
        const __m128i twoToFour = _mm_set1_epi32(0x00040001);
        const __m128i fourToEight = _mm_set1_epi32(0x00100001);
        __m128i bytes[4];
        for (int q = 0; q < 4; ++q) {
            __m128i nibbles[2];
            for (int h = 0; h < 2; ++h) {
                const uint8_t* at = p + 32 * q + 16 * h;
                const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
                nibbles[h] = _mm_madd_epi16(_mm_and_si128(_mm_srli_epi16(w, 3), top), twoToFour);
            }
            bytes[q] = _mm_madd_epi16(_mm_packs_epi32(nibbles[0], nibbles[1]), fourToEight);
        }
        return _mm_packus_epi16(_mm_packs_epi32(bytes[0], bytes[1]),
                                _mm_packs_epi32(bytes[2], bytes[3]));
    }
#endif
#if defined(BW_WIDE_PLANES)
    // The same for 128 values. Working per 128-bit lane leaves the byte pairs
    // 0, 2, 4 .. 14 in the low lane and 1, 3 .. 15 in the high one; a
    // permute and a byte shuffle interleave them.
    __attribute__((target("avx2"))) static __m256i ThirtyTwo(const uint8_t* p) {
        const __m256i top = _mm256_set1_epi16(0x03);
        const __m256i twoToFour = _mm256_set1_epi32(0x00040001);
        const __m256i fourToEight = _mm256_set1_epi32(0x00100001);
        __m256i bytes[4];
        for (int q = 0; q < 4; ++q) {
            __m256i nibbles[2];
            for (int h = 0; h < 2; ++h) {
                const uint8_t* at = p + 64 * q + 32 * h;
                const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
                nibbles[h] =
                    _mm256_madd_epi16(_mm256_and_si256(_mm256_srli_epi16(w, 3), top), twoToFour);
            }
            bytes[q] = _mm256_madd_epi16(_mm256_packs_epi32(nibbles[0], nibbles[1]), fourToEight);
        }
        const __m256i pairs =
            _mm256_permute4x64_epi64(_mm256_packus_epi16(_mm256_packs_epi32(bytes[0], bytes[1]),
                                                         _mm256_packs_epi32(bytes[2], bytes[3])),
                                     0xD8);
        const __m256i interleave =
            _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3,
                             10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
        return _mm256_shuffle_epi8(pairs, interleave);
    }
#endif
};

#if defined(BW_WIDE_PLANES)
// The 256-bit loops of the two functions below; each returns the count done.
template <class Plane>
__attribute__((target("avx2"))) size_t PlaneBytesWide(const uint8_t* in, size_t count,
                                                      uint8_t* out) {
    size_t k = 0;
    for (; k + 32 <= count; k += 32)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k),
                            Plane::ThirtyTwo(in + Plane::kFileBytes * k));
    return k;
}

template <class Plane>
__attribute__((target("avx2"))) size_t PairPlaneWide(uint8_t* out, const uint8_t* in, size_t a,
                                                     size_t b, size_t count) {
    size_t k = 0;
    for (; k + 32 <= count; k += 32) {
        const __m256i first = Plane::ThirtyTwo(in + Plane::kFileBytes * (a + k));
        const __m256i second = Plane::ThirtyTwo(in + Plane::kFileBytes * (b + k));
        // Per 128-bit lane: pairs 0-7 and 16-23 low, 8-15 and 24-31 high.
        const __m256i low = _mm256_unpacklo_epi8(first, second);
        const __m256i high = _mm256_unpackhi_epi8(first, second);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * k),
                            _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * k + 32),
                            _mm256_permute2x128_si256(low, high, 0x31));
    }
    return k;
}
#endif

// Plane bytes 0 .. count-1 to `out`.
template <class Plane> void PlaneBytes(const uint8_t* in, size_t count, uint8_t* out) {
    size_t k = 0;
#if defined(BW_WIDE_PLANES)
    if (WideVectorsInUse())
        k = PlaneBytesWide<Plane>(in, count, out);
#endif
#if defined(__SSE2__)
    for (; k + 16 <= count; k += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k),
                         Plane::Sixteen(in + Plane::kFileBytes * k));
#endif
    for (; k < count; ++k)
        out[k] = Plane::At(in, k);
}

// out[2k] = plane[a + k], out[2k+1] = plane[b + k] for k < count.
template <class Plane>
void PairPlane(uint8_t* out, const uint8_t* in, size_t a, size_t b, size_t count) {
    size_t k = 0;
#if defined(BW_WIDE_PLANES)
    if (WideVectorsInUse())
        k = PairPlaneWide<Plane>(out, in, a, b, count);
#endif
#if defined(__SSE2__)
    for (; k + 16 <= count; k += 16) {
        const __m128i first = Plane::Sixteen(in + Plane::kFileBytes * (a + k));
        const __m128i second = Plane::Sixteen(in + Plane::kFileBytes * (b + k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi8(first, second));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k + 16),
                         _mm_unpackhi_epi8(first, second));
    }
#endif
    for (; k < count; ++k) {
        out[2 * k] = Plane::At(in, a + k);
        out[2 * k + 1] = Plane::At(in, b + k);
    }
}

} // namespace

void TenBitPlanes(Bytes file, Out low, Out packed) {
    const size_t values = std::min(file.size() / 2, low.size());
    PlaneBytes<LowPlane>(file.data(), values, low.data());
    ZeroFrom(low, values);
    const size_t groups = std::min(values / 4, packed.size());
    PlaneBytes<PackedPlane>(file.data(), groups, packed.data());
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
    PairPlane<LowPlane>(out, in.data(), 0, lowHalf, lowHalf);
    PairPlane<PackedPlane>(out + lowBytes, in.data(), 0, packedHalf, packedHalf);
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
    PairPlane<LowPlane>(out, in.data(), 0, lowQ, lowQ);
    PairPlane<PackedPlane>(out + packedAt[0], in.data(), 0, packedQ, packedQ);
    Fill(chip, packedAt[0] + 2 * packedQ, half - packedAt[0] - 2 * packedQ, 0xFF);
    PairPlane<LowPlane>(out + half, in.data(), 2 * lowQ, 3 * lowQ, lowQ);
    PairPlane<PackedPlane>(out + packedAt[1], in.data(), 2 * packedQ, 3 * packedQ, packedQ);
    const size_t dropped = IncompleteGroup(file, lowBytes);
    if (dropped < 4 * packedQ)
        out[packedAt[dropped / (2 * packedQ)] + 2 * (dropped % packedQ) + (dropped / packedQ) % 2] =
            0;
    const size_t end = packedAt[1] + 2 * packedQ;
    ZeroFrom(chip, end);
    Fill(chip, end, tailFill, 0xFF);
}

} // namespace image::layout
