#include "Agc.h"

#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

std::atomic<bool> agcEnabled{true};
static_assert(std::atomic<bool>::is_always_lock_free, "agcEnabled must not take a lock");
float agcGain = 10.0f;

namespace {

constexpr double kFullScale = 32767.0;
constexpr double kCeiling = 2.5;
constexpr double kHeadroom = 0.75;
constexpr double kFramesPerSecond = 44100.0;
// The rise rate is the float 0.9 widened to double, as the level arithmetic expects.
constexpr double kRisePerSecond = static_cast<double>(0.9f);

// Largest sample value, not magnitude, and never below 0. Comparing as int16 is
// exact: every int16 converts to float without loss.
float PositivePeak(const int16_t* samples, uint32_t count) {
    int peak = 0;
    uint32_t i = 0;
#if defined(__SSE2__)
    __m128i best = _mm_setzero_si128();
    for (; i + 8 <= count; i += 8) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
        best = _mm_max_epi16(best, v);
    }
    best = _mm_max_epi16(best, _mm_srli_si128(best, 8));
    best = _mm_max_epi16(best, _mm_srli_si128(best, 4));
    best = _mm_max_epi16(best, _mm_srli_si128(best, 2));
    peak = static_cast<int16_t>(_mm_cvtsi128_si32(best) & 0xFFFF);
#endif
    for (; i < count; ++i) {
        if (samples[i] > peak) {
            peak = samples[i];
        }
    }
    return static_cast<float>(peak);
}

float AdaptGain(float gain, float peak, uint32_t frames) {
    const double g = gain;
    const double ratio = kFullScale / static_cast<double>(peak); // +inf for silence
    if (g > ratio || g > kCeiling) {
        const float ratioF = static_cast<float>(ratio);
        if (ratioF < 1.0f) {
            return 1.0f;
        }
        const float m = g > kCeiling ? static_cast<float>(kCeiling) : gain;
        return m < ratioF ? m : ratioF;
    }
    if (peak < (kFullScale / g) * kHeadroom) {
        const int32_t n = static_cast<int32_t>(frames);
        const float inc = static_cast<float>(n / kFramesPerSecond * kRisePerSecond);
        const double raised = g + inc;
        return raised > kCeiling ? static_cast<float>(kCeiling) : static_cast<float>(raised);
    }
    return gain;
}

} // namespace

void ApplyAutoGain(int16_t* samples, uint32_t frames) {
    const uint32_t count = frames * 2u;
    agcGain = AdaptGain(agcGain, PositivePeak(samples, count), frames);
    const double gain = agcGain;
    for (uint32_t i = 0; i < count; ++i) {
        // Truncation toward zero, then saturation: |s * gain| <= 32768 * 2.5 fits an int.
        int v = static_cast<int>(samples[i] * gain);
        if (v > 32767) {
            v = 32767;
        } else if (v < -32768) {
            v = -32768;
        }
        samples[i] = static_cast<int16_t>(v);
    }
}

void CALLBACK AgcDspProc(HDSP, DWORD, void* buffer, DWORD length, void*) {
    if (agcEnabled.load(std::memory_order_relaxed)) {
        ApplyAutoGain(static_cast<int16_t*>(buffer), length >> 2);
    }
}

// The engine calls it through its DSPPROC type: the signatures must agree exactly.
static_assert(std::is_same_v<decltype(&AgcDspProc), DSPPROC*>, "AgcDspProc must be a DSPPROC");
