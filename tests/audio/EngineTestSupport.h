#pragma once
// Shared by the audio engine's tests: a small module writer, a capture device
// and helpers.

#include "AudioEngine.h"
#include "EngineTesting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace sonvale::test {

// A ProTracker module: one held square-wave note (amplitude 100 of 8 bits) on the
// two front channels at speed 3 (60 ms a row at 125 BPM), a chosen number of short
// patterns, optionally a jump back to the first order.
struct ModuleSpec {
    std::string title;      // at most 20 characters; empty for an untitled module
    int orders = 1;         // patterns in the order list, each played once (at most 64)
    int rows = 16;          // rows of each pattern that play (a break ends it early)
    int jumpBackAfter = -1; // order whose last row jumps back to order 0, or -1
};

inline std::vector<uint8_t> WriteModule(const ModuleSpec& spec) {
    // "M.K." layout: title, 31 sample headers, order count and list, tag, then
    // the 64-row patterns of 4 channels and the sample data.
    constexpr size_t kHeader = 1084, kPattern = 64 * 4 * 4, kSampleBytes = 64;
    std::vector<uint8_t> out(kHeader + spec.orders * kPattern + kSampleBytes, 0);
    std::copy_n(spec.title.begin(), std::min<size_t>(spec.title.size(), 20), out.begin());
    out[43] = out[49] = kSampleBytes / 2; // sample 1: length and loop length in words,
    out[45] = 64;                         // full volume
    out[950] = static_cast<uint8_t>(spec.orders);
    out[951] = 127; // as ProTracker writes it: the decoder takes other values for a tempo
    std::iota(&out[952], &out[952 + spec.orders], 0);
    std::copy_n("M.K.", 4, out.begin() + 1080);
    // Channels 1 and 2 (left and right on an Amiga) hold sample 1 at middle C (period 0x1AC)
    // from the first row, which also sets the speed.
    std::copy_n("\x01\xAC\x1F\x03\x01\xAC\x10", 7, &out[kHeader]);
    for (int o = 0; o < spec.orders; ++o) {
        // Channel 4 at the last row that plays: a jump back to order 0, or a pattern break.
        out[kHeader + o * kPattern + (spec.rows - 1) * 16 + 14] =
            o == spec.jumpBackAfter ? 0xB : 0xD;
    }
    for (size_t i = 0; i < kSampleBytes; ++i) {
        out[out.size() - kSampleBytes + i] = static_cast<uint8_t>(i % 32 < 16 ? 100 : -100);
    }
    return out;
}

constexpr size_t kTrackBufferSize = 0x100000;
// What the player passes: ramping, sinc, stop at a backward jump, software.
constexpr DWORD kPlayerFlags = 0x880410;

// Loads the module followed by zeros up to 1 MiB, as the player's track buffers hold it.
inline HMUSIC LoadPadded(std::vector<uint8_t> module, DWORD flags = kPlayerFlags) {
    module.resize(kTrackBufferSize, 0);
    return BASS_MusicLoad(TRUE, module.data(), 0, kTrackBufferSize, flags, 0);
}

template <typename Predicate> bool WaitUntil(Predicate done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

struct Extent {
    size_t first = 0; // first frame with sound
    size_t end = 0;   // one past the last frame with sound; 0 if all silent
    size_t Frames() const { return end - first; }
};

inline Extent SoundExtent(const std::vector<int16_t>& samples) {
    auto silent = [&](size_t f) { return samples[2 * f] == 0 && samples[2 * f + 1] == 0; };
    Extent e;
    for (e.end = samples.size() / 2; e.end > 0 && silent(e.end - 1); --e.end) {
    }
    for (; e.first < e.end && silent(e.first); ++e.first) {
    }
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

// An output device that keeps every block it is given, mixes only up to the
// frame the test lets it reach, and reports as played what the test says. The
// engine owns it; a test uses it until BASS_Free.
class CaptureOutput final : public audio::OutputDevice {
  public:
    std::atomic<uint64_t> submittedFrames{0}; // atomic, as the next three
    std::atomic<uint64_t> holdAt{0};          // no block starts at or past this frame
    std::atomic<uint64_t> played{UINT64_MAX}; // frames heard, at most those submitted
    std::atomic<bool> record{true};

    // Lets the mixer go on until `frames` frames have been mixed in all; returns all it mixed.
    std::vector<int16_t> RunTo(uint64_t frames) {
        holdAt = frames;
        EXPECT_TRUE(WaitUntil([&] { return submittedFrames >= frames; }, 20)) << frames;
        std::lock_guard<std::mutex> hold(lock);
        std::vector<int16_t> mixed = samples;
        mixed.resize(std::max<size_t>(mixed.size(), 2 * frames)); // short only if the wait failed
        return mixed;
    }

    uint32_t BlockFrames() const override { return 1024; }
    int16_t* NextBuffer() override {
        while (submittedFrames >= holdAt && !interrupted) { // held: the test acts meanwhile
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return interrupted ? nullptr : buffer.data();
    }
    void Submit(int16_t* block) override {
        if (record) {
            std::lock_guard<std::mutex> hold(lock);
            samples.insert(samples.end(), block, block + buffer.size());
        }
        submittedFrames += 1024;
    }
    uint64_t PlayedFrames() const override {
        return std::min(played.load(), submittedFrames.load());
    }
    void Interrupt() override { interrupted = true; }

  private:
    std::mutex lock;
    std::vector<int16_t> samples;                             // lock
    std::vector<int16_t> buffer = std::vector<int16_t>(2048); // mixing thread only
    std::atomic<bool> interrupted{false};                     // atomic: set in BASS_Free
};

// Starts the engine at 44.1 kHz on a capture device held before its first block.
inline CaptureOutput* InitCapture() {
    auto device = std::make_unique<CaptureOutput>();
    CaptureOutput* capture = device.get();
    return audio::InitWithOutput(std::move(device), 44100) ? capture : nullptr;
}

} // namespace sonvale::test
