#pragma once
// Sample conversions of the mixing thread, shared by the mix bus and the path
// of a music that plays alone, which must give the same samples.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonvale::audio {

// Rounds to nearest (even on ties, as SSE2's conversion does) and saturates.
inline int16_t Pcm16(float x) {
    return static_cast<int16_t>(std::lrint(std::clamp(x, -32768.0f, 32767.0f)));
}

#if defined(__SSE2__)
// Eight 16-bit samples as two vectors of four floats.
inline void WidenToFloats(const int16_t* samples, __m128& lo, __m128& hi) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples));
    // Each sample into the top of a 32-bit lane, then shifted down with its sign.
    lo = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(s, s), 16));
    hi = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(s, s), 16));
}

// Eight floats rounded and saturated into 16-bit samples.
inline void StorePcm16(__m128 lo, __m128 hi, int16_t* out) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_packs_epi32(_mm_cvtps_epi32(lo), _mm_cvtps_epi32(hi)));
}
#endif

// With SSE2 eight samples take a handful of instructions; a call to lrint per
// sample cost more than the rest of the mixing.
inline void ToPcm16(const float* mix, int16_t* out, size_t count) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 8 <= count; i += 8) {
        StorePcm16(_mm_loadu_ps(mix + i), _mm_loadu_ps(mix + i + 4), out + i);
    }
#endif
    for (; i < count; ++i) {
        out[i] = Pcm16(mix[i]);
    }
}

} // namespace sonvale::audio
