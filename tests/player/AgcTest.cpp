#include "Agc.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(AgcTest, GainFollowsTheLevelRulesOnEachSideOfEveryThreshold) {
    const float limitAt16384 = 1.99993896484375f; // 32767 / 16384 as a float
    struct Case {
        const char* name;
        float gainBefore;
        int16_t peak, at, fill; // the peak sits at `at`; every other sample is `fill`
        uint32_t frames;
        float gainAfter;
        int16_t fillAfter; // the last sample after: the new gain is used on this block
    } cases[] = {
        {"first block of silence limits to the ceiling", 10.0f, 0, 0, 0, 1024, 2.5f, 0},
        {"first block whose peak would hold 10 still limits", 10.0f, 3000, 0, 100, 1024, 2.5f, 250},
        {"at 2.5 a peak of 13106 holds", 2.5f, 13106, 0, 1000, 64, 2.5f, 2500},
        {"at 2.5 a peak of 13107 limits", 2.5f, 13107, 0, 1000, 64, 2.4999618530273438f, 2499},
        {"at 2.5 a peak of 9830 holds the ceiling", 2.5f, 9830, 0, 1000, 64, 2.5f, 2500},
        {"at 2.0 a peak of 16383 holds", 2.0f, 16383, 0, 1000, 64, 2.0f, 2000},
        {"at 2.0 a peak of 16384 limits", 2.0f, 16384, 0, 1000, 64, limitAt16384, 1999},
        {"at 2.0 a peak of 12288 holds", 2.0f, 12288, 0, 0, 44100, 2.0f, 0},
        {"at 2.0 a peak of 12287 rises, up to the ceiling", 2.0f, 12287, 0, 0, 44100, 2.5f, 0},
        {"at 1.75 a peak of exactly 75 % (14043) holds", 1.75f, 14043, 0, 10, 44100, 1.75f, 17},
        {"at 1.0 a peak of 24575 rises by 0.9 per second", 1.0f, 24575, 0, 10, 44100,
         1.89999997615814208984375f, 18},
        {"1024 frames of silence rise by about 0.0209", 1.0f, 0, 0, 0, 1024, 1.0208979845046997f,
         0},
        {"only negative samples count as silence", 1.0f, -30000, 0, -10, 44100,
         1.89999997615814208984375f, -18},
        {"a full-scale peak brings the gain down to 1", 2.0f, 32767, 0, -20000, 64, 1.0f, -20000},
        {"a held gain of 1.9 truncates 3 to 5, not 6", 1.9f, 15526, 0, 3, 64, 1.9f, 5},
        {"a held gain of 1.9 truncates -3 to -5, not -6", 1.9f, 15526, 0, -3, 64, 1.9f, -5},
        {"a held gain of 2.0 saturates -20000 at -32768", 2.0f, 15000, 0, -20000, 64, 2.0f, -32768},
        {"a peak in an odd lane counts", 2.5f, 16384, 1, 1000, 9, limitAt16384, 1999},
        {"a peak in lane 2 counts", 2.5f, 16384, 2, 1000, 9, limitAt16384, 1999},
        {"a peak in the upper lanes counts", 2.5f, 16384, 12, 1000, 9, limitAt16384, 1999},
        {"a peak in the tail counts", 2.5f, 16384, 16, 1000, 9, limitAt16384, 1999},
        {"a negative sample in the tail is no peak", 2.5f, -30000, 16, 0, 9, 2.5f, 0},
        {"zero frames bring a gain above the ceiling down", 10.0f, 0, 0, 0, 0, 2.5f, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        agcGain = c.gainBefore;
        std::vector<int16_t> block(c.frames * 2 + 1, c.fill); // one sample beyond the block
        block[c.at] = c.frames > 0 ? c.peak : c.fill;
        ApplyAutoGain(block.data(), c.frames);
        EXPECT_EQ(agcGain, c.gainAfter);
        EXPECT_EQ(block[c.frames > 0 ? c.frames * 2 - 1 : 0], c.fillAfter);
        EXPECT_EQ(block.back(), c.fill) << "a sample beyond the block changed";
    }
}

TEST(AgcTest, CallbackTakesWholeFrames) {
    agcGain = 2.0f;
    int16_t block[6] = {100, -100, 200, -200, 300, -300};
    // 11 bytes make two whole frames; the third lies outside the block.
    AgcDspProc(0, 0, block, 11, nullptr);
    EXPECT_EQ(block[0], 200);
    EXPECT_EQ(block[3], -400);
    EXPECT_EQ(block[4], 300);
}

} // namespace
