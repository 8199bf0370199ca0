// Shared by the layout files: four 24-bit values packed into 12 bytes.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace image::layout {

// Four 24-bit values in the 32-bit lanes of `packed`, as 12 consecutive bytes
// at the front of the result (the last four bytes are zero).
inline __m128i Squeeze12(__m128i packed) {
    const __m128i low3 = _mm_set1_epi64x(0x0000000000FFFFFF);
    const __m128i high3 = _mm_set1_epi64x(0x0000FFFFFF000000);
    const __m128i first6 = _mm_set_epi64x(0, 0x0000FFFFFFFFFFFF);
    const __m128i next6 =
        _mm_set_epi64x(0x00000000FFFFFFFF, static_cast<int64_t>(0xFFFF000000000000));
    const __m128i pairs =
        _mm_or_si128(_mm_and_si128(packed, low3), _mm_and_si128(_mm_srli_epi64(packed, 8), high3));
    return _mm_or_si128(_mm_and_si128(pairs, first6),
                        _mm_and_si128(_mm_srli_si128(pairs, 2), next6));
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same per 128-bit lane of a 256-bit vector: each lane's 12 bytes at its front.
__attribute__((target("avx2"))) inline __m256i Squeeze12Wide(__m256i packed) {
    const __m256i squeeze =
        _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                         8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    return _mm256_shuffle_epi8(packed, squeeze);
}
#endif

} // namespace image::layout
#endif
