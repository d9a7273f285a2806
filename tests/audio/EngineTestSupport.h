#pragma once
// Shared by the audio engine's tests.

#include "AudioEngine.h"
#include "ModuleWriter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

namespace sonvale::test {

constexpr size_t kTrackBufferSize = 0x100000;
// What the player passes: ramping, sinc, stop at a backward jump, software.
constexpr DWORD kPlayerFlags = 0x880410;

// The module followed by zeros up to 1 MiB, as the player's track buffers hold it.
inline std::vector<uint8_t> Padded(const std::vector<uint8_t>& module) {
    std::vector<uint8_t> buffer(kTrackBufferSize, 0);
    std::copy(module.begin(), module.end(), buffer.begin());
    return buffer;
}

inline HMUSIC LoadPadded(const std::vector<uint8_t>& module, DWORD flags = kPlayerFlags) {
    std::vector<uint8_t> buffer = Padded(module);
    return BASS_MusicLoad(TRUE, buffer.data(), 0, kTrackBufferSize, flags, 0);
}

template <typename Predicate> bool WaitUntil(Predicate done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct Extent {
    size_t first = 0; // first frame with sound
    size_t end = 0;   // one past the last frame with sound; 0 if all silent
    size_t Frames() const { return end - first; }
};

inline Extent SoundExtent(const std::vector<int16_t>& samples) {
    Extent e;
    const size_t frames = samples.size() / 2;
    size_t f = 0;
    while (f < frames && samples[2 * f] == 0 && samples[2 * f + 1] == 0) {
        ++f;
    }
    if (f == frames) {
        return e;
    }
    e.first = f;
    size_t last = frames;
    while (last > f && samples[2 * last - 2] == 0 && samples[2 * last - 1] == 0) {
        --last;
    }
    e.end = last;
    return e;
}

inline int Peak(const std::vector<int16_t>& samples, size_t from = 0, size_t to = SIZE_MAX) {
    int peak = 0;
    for (size_t i = from; i < samples.size() && i < to; ++i) {
        peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
    }
    return peak;
}

// Every test starts and ends with the engine closed.
class AudioEngineTest : public ::testing::Test {
  protected:
    void SetUp() override { BASS_Free(); }
    void TearDown() override { BASS_Free(); }
};

} // namespace sonvale::test
