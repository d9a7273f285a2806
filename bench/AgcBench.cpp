// Gain control cost for a 1024-frame block, as a ratio to copying the same block,
// measured in one run so the machine's speed cancels out.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "Agc.h"

namespace {
using Clock = std::chrono::steady_clock;

template <typename F> double SecondsPerBlock(F work, int blocks) {
    auto start = Clock::now();
    for (int i = 0; i < blocks; ++i) {
        work(i);
    }
    return std::chrono::duration<double>(Clock::now() - start).count() / blocks;
}
} // namespace

int main() {
    const uint32_t frames = 1024;
    const int blocks = 200000;
    std::mt19937 rng(1);
    std::vector<std::vector<int16_t>> sources(16, std::vector<int16_t>(frames * 2));
    for (auto& s : sources) {
        for (auto& v : s) {
            v = static_cast<int16_t>(static_cast<int>(rng() % 24000) - 12000);
        }
    }
    std::vector<int16_t> block(frames * 2);
    volatile int16_t sink = 0;

    auto copy = [&](int i) {
        memcpy(block.data(), sources[i & 15].data(), block.size() * 2);
        sink = block[i & 1023];
    };
    auto agc = [&](int i) {
        memcpy(block.data(), sources[i & 15].data(), block.size() * 2);
        ApplyAutoGain(block.data(), frames);
        sink = block[i & 1023];
    };
    SecondsPerBlock(agc, blocks / 10); // warm-up
    double copySeconds = SecondsPerBlock(copy, blocks);
    double agcSeconds = SecondsPerBlock(agc, blocks) - copySeconds;
    double samplesPerSecond = frames * 2 / agcSeconds;
    printf("agc: %.3f us per 1024-frame block, %.1f x the time of copying it\n", agcSeconds * 1e6,
           agcSeconds / copySeconds);
    printf("agc: %.0f million samples per second (target >= 100): %s\n", samplesPerSecond / 1e6,
           samplesPerSecond >= 100e6 ? "met" : "MISSED");
    (void)sink;
    return samplesPerSecond >= 100e6 ? 0 : 1;
}
