// Shared by the layout files: four 24-bit values packed into 12 bytes.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>

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

} // namespace image::layout
#endif
