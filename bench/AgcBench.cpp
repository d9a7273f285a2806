// Gain control cost for a 1024-frame block, as a ratio to copying the same block,
// measured in one run so the machine's speed cancels out. CPU time of this
// thread over samples long enough to dwarf the thread clock's 10 ms steps, in
// rounds that alternate the two; the median of the rounds decides.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "Agc.h"
#include "EngineRender.h"
#include "Spread.h"

namespace {

constexpr int kRounds = 9;
constexpr int kAgcBlocks = 150000;
constexpr int kCopyBlocks = 1000000;

template <typename F> double CpuSecondsPerBlock(F work, int blocks) {
    const double start = bench::ThreadCpuSeconds(GetCurrentThread());
    for (int i = 0; i < blocks; ++i) {
        work(i);
    }
    return (bench::ThreadCpuSeconds(GetCurrentThread()) - start) / blocks;
}

} // namespace

int main() {
    const uint32_t frames = 1024;
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
    CpuSecondsPerBlock(agc, kAgcBlocks / 10); // warm-up
    std::vector<double> agcSeconds, ratios, rates;
    for (int round = 0; round < kRounds; ++round) {
        double copySeconds, withAgc;
        if (round % 2) {
            withAgc = CpuSecondsPerBlock(agc, kAgcBlocks);
            copySeconds = CpuSecondsPerBlock(copy, kCopyBlocks);
        } else {
            copySeconds = CpuSecondsPerBlock(copy, kCopyBlocks);
            withAgc = CpuSecondsPerBlock(agc, kAgcBlocks);
        }
        agcSeconds.push_back(withAgc - copySeconds);
        ratios.push_back(agcSeconds.back() / copySeconds);
        rates.push_back(frames * 2 / agcSeconds.back());
    }
    const bench::Spread cost = bench::SpreadOf(agcSeconds), ratio = bench::SpreadOf(ratios),
                        rate = bench::SpreadOf(rates);
    printf("agc: %.3f us (%.3f to %.3f) of CPU per 1024-frame block, %.1f (%.1f to %.1f) x the "
           "time of copying it; median (range) of %d rounds\n",
           cost.median * 1e6, cost.low * 1e6, cost.high * 1e6, ratio.median, ratio.low,
           ratio.high, kRounds);
    printf("agc: %.0f (%.0f to %.0f) million samples per second (target >= 100): %s\n",
           rate.median / 1e6, rate.low / 1e6, rate.high / 1e6,
           rate.median >= 100e6 ? "met" : "MISSED");
    (void)sink;
    // A missed target is a finding, not a failure to run.
    return 0;
}
