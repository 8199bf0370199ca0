// Byte-oriented layout families and the word image.
#include "image/Layouts.h"

#include "image/PaddedInput.h"
#include "image/Squeeze.h"

#include "core/Bytes.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define BURNWRIGHT_WIDE_VECTORS 1
#endif

namespace image::layout {
namespace {

void ZeroFrom(Out out, size_t from) {
    if (from < out.size())
        std::memset(out.data() + from, 0, out.size() - from);
}

inline uint32_t Load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Group b0 b1 b2 b3 as u = b0 | b1 << 8 | b2 << 16 | b3 << 24; each packing
// below is its byte formulas with the bytes' bits moved to their places in u,
// leaving the three chip bytes in the low 24 bits. They are macros so that the
// same text serves scalars and vectors of every width without a call (a
// 256-bit vector may not cross a call into code built without wide vectors).
//   (b0 << 6) | (b1 & 0x3F), ((b0 << 2) & 0xF0) | ((b2 >> 2) & 0x0F), (b2 << 6) | (b3 & 0x3F)
#define BW_PACK_SIX_BIT(u)                                                                         \
    ((((u) >> 8) & 0x3F003F) | (((u)&0x30003) << 6) | (((u)&0x3C) << 10) | (((u) >> 10) & 0xF00))
//   middle byte ((b2 << 2) & 0xF0) | ((b0 >> 2) & 0x0F)
#define BW_PACK_SIX_BIT_SWAPPED(u)                                                                 \
    ((((u) >> 8) & 0x3F003F) | (((u)&0x30003) << 6) | (((u) >> 6) & 0xF000) | (((u) << 6) & 0xF00))
//   (b0 << 7) | (b1 & 0x7F), ((b2 << 5) & 0xC0) | ((b0 >> 1) & 0x3F), (b2 << 7) | (b3 & 0x7F)
#define BW_PACK_SEVEN_BIT(u)                                                                       \
    ((((u) >> 8) & 0x7F007F) | (((u)&0x10001) << 7) | (((u) >> 3) & 0xC000) | (((u) << 7) & 0x3F00))
//   b0, b1 | (b3 << 4), b2
#define BW_PACK_NIBBLE_MERGE(u) (((u)&0xFFFFFF) | (((u) >> 12) & 0xF000))

enum class Packing { SixBit, SixBitSwapped, SevenBit, NibbleMerge };

#define BW_PACK(P, u)                                                                              \
    (P == Packing::SixBit          ? BW_PACK_SIX_BIT(u)                                            \
     : P == Packing::SixBitSwapped ? BW_PACK_SIX_BIT_SWAPPED(u)                                    \
     : P == Packing::SevenBit      ? BW_PACK_SEVEN_BIT(u)                                          \
                                   : BW_PACK_NIBBLE_MERGE(u))

#if defined(BURNWRIGHT_WIDE_VECTORS)
// Eight groups at a time on processors with 256-bit integer vectors: each
// 128-bit half is squeezed as above and stored on its own. Returns the number
// of groups done; stops where a 16-byte store would pass `room` bytes.
template <Packing P>
__attribute__((target("avx2"))) size_t FourToThreeWide(const uint8_t* in, size_t groups,
                                                       size_t room, uint8_t* out) {
    using U32x8 = uint32_t __attribute__((vector_size(32)));
    size_t g = 0;
    for (; g + 8 <= groups && 3 * g + 28 <= room; g += 8) {
        U32x8 words;
        std::memcpy(&words, in + 4 * g, 32);
        const __m256i packed = reinterpret_cast<__m256i>(BW_PACK(P, words));
        const __m256i bytes = Squeeze12Wide(packed);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * g), _mm256_castsi256_si128(bytes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * g + 12),
                         _mm256_extracti128_si256(bytes, 1));
    }
    return g;
}

std::atomic<bool> wideAllowed{true};

bool HasWideVectors() {
    static const bool has = [] {
        __builtin_cpu_init(); // may run before the runtime's own initialisation
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has && wideAllowed.load(std::memory_order_relaxed);
}
#endif

// Packs every whole four-byte group that has room for three chip bytes.
template <Packing P> void FourToThree(Bytes file, Out chip) {
    const size_t groups = std::min(file.size() / 4, chip.size() / 3);
    const uint8_t* in = file.data();
    uint8_t* out = chip.data();
    size_t g = 0;
#if defined(BURNWRIGHT_WIDE_VECTORS)
    if (HasWideVectors())
        g = FourToThreeWide<P>(in, groups, chip.size(), out);
#endif
#if defined(__SSE2__)
    // Four groups at a time: pack the four words, squeeze the 4 x 3 bytes
    // together and store 16 bytes, of which the next step overwrites four.
    using U32x4 = uint32_t __attribute__((vector_size(16)));
    for (; g + 4 <= groups && 3 * g + 16 <= chip.size(); g += 4) {
        U32x4 words;
        std::memcpy(&words, in + 4 * g, 16);
        const __m128i packed = reinterpret_cast<__m128i>(BW_PACK(P, words));
        const __m128i bytes = Squeeze12(packed);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * g), bytes);
    }
#endif
    for (; g < groups; ++g) {
        const uint32_t u = Load32(in + 4 * g);
        const uint32_t v = BW_PACK(P, u);
        out[3 * g] = static_cast<uint8_t>(v);
        out[3 * g + 1] = static_cast<uint8_t>(v >> 8);
        out[3 * g + 2] = static_cast<uint8_t>(v >> 16);
    }
    ZeroFrom(chip, groups * 3);
}

} // namespace

void AllowWideVectors(bool allowed) {
#if defined(BURNWRIGHT_WIDE_VECTORS)
    wideAllowed.store(allowed, std::memory_order_relaxed);
#else
    (void)allowed;
#endif
}

bool WideVectorsInUse() {
#if defined(BURNWRIGHT_WIDE_VECTORS)
    return HasWideVectors();
#else
    return false;
#endif
}

uint32_t ByteSum(Bytes bytes) {
    return core::ByteSum(bytes.data(), bytes.size());
}

void SixBit(Bytes file, Out chip) {
    FourToThree<Packing::SixBit>(file, chip);
}

void SixBitSwapped(Bytes file, Out chip) {
    FourToThree<Packing::SixBitSwapped>(file, chip);
}

void SevenBit(Bytes file, Out chip) {
    FourToThree<Packing::SevenBit>(file, chip);
}

void NibbleMerge(Bytes file, Out chip) {
    FourToThree<Packing::NibbleMerge>(file, chip);
    const size_t groups = file.size() / 4;
    const size_t whole = std::min(groups, chip.size() / 3);
    // The image is full in the middle of a group: take what still fits.
    if (whole < groups) {
        const uint8_t* in = file.data() + 4 * whole;
        const uint8_t part[3] = {in[0], static_cast<uint8_t>(in[1] | (in[3] << 4)), in[2]};
        for (size_t i = 0, at = whole * 3; at < chip.size() && i < 3; ++i)
            chip[at++] = part[i];
    }
}

void PlainCopy(Bytes file, Out chip) {
    const size_t n = std::min(file.size(), chip.size());
    if (n)
        std::memcpy(chip.data(), file.data(), n);
    ZeroFrom(chip, n);
}

void InterleavedHalves(Bytes file, Out chip) {
    const size_t half = chip.size() / 2;
    PaddedInput in(file, 2 * half);
    const uint8_t* first = in.data();
    const uint8_t* second = in.data() + half;
    uint8_t* out = chip.data();
    for (size_t i = 0; i < half; ++i) {
        out[2 * i] = first[i];
        out[2 * i + 1] = second[i];
    }
    ZeroFrom(chip, 2 * half);
}

size_t WordImageSize(size_t chipSize, size_t group, bool padLastGroup) {
    if (group == 0)
        return 0;
    const size_t groups = padLastGroup ? (chipSize + group - 1) / group : chipSize / group;
    return groups * (group + 1);
}

namespace {

template <size_t N> void WholeGroups(const uint8_t* in, size_t groups, uint8_t* out) {
    for (size_t g = 0; g < groups; ++g, in += N, out += N + 1) {
        unsigned sum = 0;
        for (size_t i = 0; i < N; ++i) {
            out[i] = in[i];
            sum += in[i];
        }
        out[N] = static_cast<uint8_t>(sum);
    }
}

// Groups of eight: two at a time, their sums from one sum of absolute
// differences against zero (a 16-bit sum in each 64-bit half).
void OctetGroups(const uint8_t* in, size_t groups, uint8_t* out) {
    size_t g = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; g + 2 <= groups; g += 2) {
        const __m128i chip = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * g));
        const __m128i sums = _mm_sad_epu8(chip, zero);
        uint8_t* o = out + 9 * g;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o), chip);
        o[8] = static_cast<uint8_t>(_mm_cvtsi128_si32(sums));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 9), _mm_srli_si128(chip, 8));
        o[17] = static_cast<uint8_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    WholeGroups<8>(in + 8 * g, groups - g, out + 9 * g);
}

// Groups of two: eight at a time, each pair widened to a 32-bit lane with its
// sum in the third byte, then squeezed to three bytes per group.
void PairGroups(const uint8_t* in, size_t groups, uint8_t* out) {
    size_t g = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i lowByte = _mm_set1_epi32(0xFF);
    for (; g + 8 <= groups && 3 * g + 28 <= 3 * groups; g += 8) {
        const __m128i chip = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * g));
        for (int half = 0; half < 2; ++half) {
            const __m128i pairs =
                half == 0 ? _mm_unpacklo_epi16(chip, zero) : _mm_unpackhi_epi16(chip, zero);
            const __m128i sum = _mm_and_si128(
                _mm_add_epi32(_mm_and_si128(pairs, lowByte), _mm_srli_epi32(pairs, 8)), lowByte);
            const __m128i groupBytes = _mm_or_si128(pairs, _mm_slli_epi32(sum, 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * g + 12 * half),
                             Squeeze12(groupBytes));
        }
    }
#endif
    WholeGroups<2>(in + 2 * g, groups - g, out + 3 * g);
}

#if defined(BURNWRIGHT_WIDE_VECTORS)
// Word-image groups of two, three and four with 256-bit vectors: each 128-bit
// lane gets its groups' bytes and sums side by side, one byte shuffle puts
// every sum behind its group, and the lanes are stored where their groups go.
// Each returns the number of groups done; no load or store passes `groups`
// groups of input or output.

// Sixteen pairs a b at a time; the sum a + b is formed in the low byte of
// each 16-bit lane.
__attribute__((target("avx2"))) size_t PairGroupsWide(const uint8_t* in, size_t groups,
                                                      uint8_t* out) {
    const __m256i order = _mm256_setr_epi8(0, 1, 8, 2, 3, 10, 4, 5, 12, 6, 7, 14, -1, -1, -1, -1, 0,
                                           1, 8, 2, 3, 10, 4, 5, 12, 6, 7, 14, -1, -1, -1, -1);
    size_t g = 0;
    for (; g + 16 <= groups && 3 * g + 52 <= 3 * groups; g += 16) {
        const __m256i chip = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * g));
        const __m256i sums = _mm256_add_epi8(chip, _mm256_srli_epi16(chip, 8));
        // Lane 0: pairs 0-3 and 4-7; lane 1: pairs 8-11 and 12-15.
        const __m256i first = _mm256_shuffle_epi8(_mm256_unpacklo_epi64(chip, sums), order);
        const __m256i second = _mm256_shuffle_epi8(_mm256_unpackhi_epi64(chip, sums), order);
        uint8_t* o = out + 3 * g;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(first));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 12), _mm256_castsi256_si128(second));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 24), _mm256_extracti128_si256(first, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 36), _mm256_extracti128_si256(second, 1));
    }
    return g;
}

// Thirty-two pairs at a time where the processor permutes bytes across
// 512-bit vectors: the pairs and, in the low byte of each 16-bit lane, their
// sums; two two-table permutes pick the 96 output bytes in order.
struct PairPick {
    uint8_t index[128];
};
constexpr PairPick MakePairPick() {
    PairPick pick{};
    for (int j = 0; j < 96; ++j) {
        const int k = j / 3, r = j % 3;
        pick.index[j] = static_cast<uint8_t>(r < 2 ? 2 * k + r : 64 + 2 * k);
    }
    return pick;
}
constexpr PairPick kPairPick = MakePairPick();

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) size_t
PairGroupsPermute(const uint8_t* in, size_t groups, uint8_t* out) {
    const __m512i first = _mm512_loadu_si512(kPairPick.index);
    const __m512i second = _mm512_loadu_si512(kPairPick.index + 64);
    size_t g = 0;
    for (; g + 32 <= groups; g += 32) {
        const __m512i chip = _mm512_loadu_si512(in + 2 * g);
        const __m512i sums = _mm512_add_epi8(chip, _mm512_srli_epi16(chip, 8));
        uint8_t* o = out + 3 * g;
        _mm512_storeu_si512(o, _mm512_permutex2var_epi8(chip, first, sums));
        _mm512_mask_storeu_epi8(o + 64, 0xFFFFFFFFu, _mm512_permutex2var_epi8(chip, second, sums));
    }
    return g;
}

bool HasBytePermutes() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512vbmi") != 0;
    }();
    return has && HasWideVectors();
}

// Eight triples at a time, four per lane, each spread to a 32-bit lane whose
// top byte takes the triple's sum.
__attribute__((target("avx2"))) size_t TripleGroupsWide(const uint8_t* in, size_t groups,
                                                        uint8_t* out) {
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                            1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    size_t g = 0;
    for (; g + 8 <= groups && 3 * g + 28 <= 3 * groups; g += 8) {
        const __m256i chip = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * g))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * g + 12)), 1);
        const __m256i v = _mm256_shuffle_epi8(chip, spread);
        const __m256i sums = _mm256_add_epi32(
            v, _mm256_add_epi32(_mm256_srli_epi32(v, 8), _mm256_srli_epi32(v, 16)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * g),
                            _mm256_or_si256(v, _mm256_slli_epi32(sums, 24)));
    }
    return g;
}

// Eight quadruples at a time; the sum of each 32-bit lane forms in its low byte.
__attribute__((target("avx2"))) size_t QuadGroupsWide(const uint8_t* in, size_t groups,
                                                      uint8_t* out) {
    const __m256i order = _mm256_setr_epi8(0, 1, 2, 3, 8, 4, 5, 6, 7, 12, -1, -1, -1, -1, -1, -1, //
                                           0, 1, 2, 3, 8, 4, 5, 6, 7, 12, -1, -1, -1, -1, -1, -1);
    size_t g = 0;
    for (; g + 8 <= groups && 5 * g + 46 <= 5 * groups; g += 8) {
        const __m256i chip = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * g));
        __m256i sums = _mm256_add_epi8(chip, _mm256_srli_epi32(chip, 8));
        sums = _mm256_add_epi8(sums, _mm256_srli_epi32(sums, 16));
        // Lane 0: groups 0-1 and 2-3; lane 1: groups 4-5 and 6-7.
        const __m256i first = _mm256_shuffle_epi8(_mm256_unpacklo_epi64(chip, sums), order);
        const __m256i second = _mm256_shuffle_epi8(_mm256_unpackhi_epi64(chip, sums), order);
        uint8_t* o = out + 5 * g;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(first));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 10), _mm256_castsi256_si128(second));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 20), _mm256_extracti128_si256(first, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 30), _mm256_extracti128_si256(second, 1));
    }
    return g;
}
#endif

// Groups of `N` with a vector head where there is one, then the rest one by one.
template <size_t N> void GroupsOf(const uint8_t* in, size_t groups, uint8_t* out) {
    size_t g = 0;
#if defined(BURNWRIGHT_WIDE_VECTORS)
    if (N == 2 && HasBytePermutes())
        g = PairGroupsPermute(in, groups, out);
    if (HasWideVectors())
        g += N == 2   ? PairGroupsWide(in + 2 * g, groups - g, out + 3 * g)
             : N == 3 ? TripleGroupsWide(in, groups, out)
                      : QuadGroupsWide(in, groups, out);
#endif
    if (N == 2)
        PairGroups(in + 2 * g, groups - g, out + 3 * g);
    else
        WholeGroups<N>(in + N * g, groups - g, out + (N + 1) * g);
}

void WholeGroupsAnySize(const uint8_t* in, size_t group, size_t groups, uint8_t* out) {
    switch (group) {
    case 2:
        return GroupsOf<2>(in, groups, out);
    case 3:
        return GroupsOf<3>(in, groups, out);
    case 4:
        return GroupsOf<4>(in, groups, out);
    case 8:
        return OctetGroups(in, groups, out);
    default:
        for (size_t g = 0; g < groups; ++g, in += group, out += group + 1) {
            unsigned sum = 0;
            for (size_t i = 0; i < group; ++i) {
                out[i] = in[i];
                sum += in[i];
            }
            out[group] = static_cast<uint8_t>(sum);
        }
    }
}

} // namespace

void WordImage(Bytes chip, size_t group, bool padLastGroup, Out word) {
    if (group == 0) {
        ZeroFrom(word, 0);
        return;
    }
    const size_t whole = std::min(chip.size() / group, word.size() / (group + 1));
    WholeGroupsAnySize(chip.data(), group, whole, word.data());
    size_t written = whole * (group + 1);
    const size_t rest = chip.size() - whole * group;
    if (padLastGroup && rest > 0 && rest < group && written + group + 1 <= word.size()) {
        unsigned sum = 0;
        for (size_t i = 0; i < group; ++i) {
            const uint8_t b = i < rest ? chip[whole * group + i] : 0xFF;
            word[written + i] = b;
            sum += b;
        }
        word[written + group] = static_cast<uint8_t>(sum);
        written += group + 1;
    }
    ZeroFrom(word, written);
}

} // namespace image::layout
