#include "Agc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// Every case starts from a known gain and the stage switched on.
class AgcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedGain = agcGain;
        agcEnabled = true;
    }
    void TearDown() override {
        agcGain = savedGain;
        agcEnabled = true;
    }
    float savedGain = 0;
};

std::vector<int16_t> Block(uint32_t frames, int16_t value) {
    return std::vector<int16_t>(frames * 2, value);
}

// The level arithmetic written out once more, straight from its definition, one
// sample at a time: the shipped stage must agree with it bit for bit.
float ReferenceStep(float gain, std::vector<int16_t>& s, uint32_t frames) {
    float peak = 0.0f;
    for (uint32_t i = 0; i < 2 * frames; ++i) {
        float v = s[i];
        if (v >= peak) {
            peak = v;
        }
    }
    double g = gain;
    double r = 32767.0 / peak;
    float next = gain;
    if (g > r || g > 2.5) {
        float rf = static_cast<float>(r);
        if (rf < 1.0f) {
            next = 1.0f;
        } else {
            float m = g > 2.5 ? 2.5f : gain;
            next = m < rf ? m : rf;
        }
    } else if (peak < (32767.0 / g) * 0.75) {
        float inc = static_cast<float>(static_cast<int32_t>(frames) / 44100.0 * (double)0.9f);
        next = (g + inc > 2.5) ? 2.5f : static_cast<float>(g + inc);
    }
    for (uint32_t i = 0; i < 2 * frames; ++i) {
        double v = std::trunc(s[i] * static_cast<double>(next));
        s[i] = static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
    }
    return next;
}

struct GainCase {
    const char* name;
    float gainBefore;
    int16_t peakSample; // written at sample 0; the rest of the block holds `fill`
    int16_t fill;
    uint32_t frames;
    float gainAfter;
};

TEST_F(AgcTest, GainFollowsTheLevelRules) {
    const float rise1024 = static_cast<float>(1024 / 44100.0 * (double)0.9f);
    const GainCase cases[] = {
        {"first block of silence limits to the ceiling", 10.0f, 0, 0, 1024, 2.5f},
        {"silence rises by 0.9 per second of audio", 1.0f, 0, 0, 1024,
         static_cast<float>(1.0 + rise1024)},
        {"silence never rises above the ceiling", 2.49f, 0, 0, 1024, 2.5f},
        {"only negative samples count as silence", 2.0f, -20000, -30000, 1024,
         static_cast<float>(2.0 + rise1024)},
        {"full-scale peak drops the gain to 1", 2.0f, 32767, 0, 1024, 1.0f},
        {"peak 16384 at 2.5 limits to 32767/16384", 2.5f, 16384, 0, 1024, 1.99993896484375f},
        {"peak just under 9830.1 holds the ceiling", 2.5f, 9830, 0, 1024, 2.5f},
        {"peak from 9830.1 holds the gain", 2.5f, 9831, 0, 1024, 2.5f},
        {"peak 13106 still holds the gain", 2.5f, 13106, 0, 1024, 2.5f},
        {"peak above 13106.8 limits", 2.5f, 13107, 0, 1024, static_cast<float>(32767.0 / 13107.0)},
        {"a gain below the ceiling rises under the threshold", 1.5f, 1000, 0, 4410,
         static_cast<float>(1.5 + static_cast<float>(4410 / 44100.0 * (double)0.9f))},
        {"zero frames only bring a gain above the ceiling down", 10.0f, 0, 0, 0, 2.5f},
        {"zero frames leave an ordinary gain alone", 1.7f, 0, 0, 0, 1.7f},
        {"a peak whose ratio rounds below 1 floors at 1", 1.5f, 32767, 0, 1, 1.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        agcGain = c.gainBefore;
        auto block = Block(c.frames, c.fill);
        if (c.frames > 0) {
            block[0] = c.peakSample;
        }
        ApplyAutoGain(block.data(), c.frames);
        EXPECT_EQ(agcGain, c.gainAfter);
    }
}

struct SampleCase {
    const char* name;
    float gain;
    int16_t in;
    int16_t out;
};

TEST_F(AgcTest, SamplesAreTruncatedTowardZeroAndSaturated) {
    // The blocks carry a large positive sample as well, so that the gain under test
    // is held (peak between 75 % and 100 % of full scale after gain).
    const SampleCase cases[] = {
        {"3 at 1.9 truncates to 5, not 6", 1.9f, 3, 5},
        {"-3 at 1.9 truncates to -5, not -6", 1.9f, -3, -5},
        {"-20000 at 2.0 saturates at -32768", 2.0f, -20000, -32768},
        {"-32768 at 1.0 is kept", 1.0f, -32768, -32768},
        {"0 stays 0", 2.5f, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A second sample puts peak * gain at 90 % of full scale.
        const int16_t holder = static_cast<int16_t>(29500.0 / c.gain);
        agcGain = c.gain;
        int16_t block[4] = {c.in, c.in, holder, 0};
        ApplyAutoGain(block, 2);
        ASSERT_EQ(agcGain, c.gain) << "the case must hold the gain";
        EXPECT_EQ(block[0], c.out);
        EXPECT_EQ(block[1], c.out);
    }
}

TEST_F(AgcTest, CallbackWorksOnWholeFramesAndOnlyWhenEnabled) {
    agcGain = 2.0f;
    int16_t block[6] = {100, -100, 200, -200, 300, -300};
    // 11 bytes make two whole frames; the third frame lies outside the block.
    AgcDspProc(0, 0, block, 11, nullptr);
    EXPECT_EQ(block[0], static_cast<int16_t>(100 * static_cast<double>(agcGain)));
    EXPECT_EQ(block[3], static_cast<int16_t>(-200 * static_cast<double>(agcGain)));
    EXPECT_EQ(block[4], 300) << "the third frame lies beyond length / 4";

    agcEnabled = false;
    const float frozen = agcGain;
    std::mt19937 rng(7);
    std::vector<int16_t> random(2048);
    for (auto& s : random) {
        s = static_cast<int16_t>(rng());
    }
    const auto copy = random;
    AgcDspProc(0, 0, random.data(), static_cast<uint32_t>(random.size() * 2), nullptr);
    EXPECT_TRUE(copy == random);
    EXPECT_EQ(agcGain, frozen) << "switching off freezes the gain";
}

TEST_F(AgcTest, MatchesTheScalarDefinitionOnRandomBlocks) {
    std::mt19937 rng(12345);
    float refGain = 10.0f;
    agcGain = 10.0f;
    for (int block = 0; block < 3000; ++block) {
        // Varying sizes (odd ones exercise the tail loop) and levels from silence to full.
        uint32_t frames = rng() % 1500;
        int level = 1 << (rng() % 16);
        std::vector<int16_t> s(frames * 2);
        for (auto& v : s) {
            v = static_cast<int16_t>(static_cast<int>(rng() % (2 * level + 1)) - level);
        }
        if (frames > 0 && rng() % 5 == 0) {
            s[rng() % s.size()] = static_cast<int16_t>(rng() % 2 ? 32767 : -32768);
        }
        auto expected = s;
        refGain = ReferenceStep(refGain, expected, frames);
        ApplyAutoGain(s.data(), frames);
        ASSERT_EQ(agcGain, refGain) << "block " << block;
        ASSERT_TRUE(expected == s) << "block " << block;
    }
}

TEST_F(AgcTest, LongRunStaysInRangeAndNeverClipsPositiveSamples) {
    std::mt19937 rng(99);
    agcGain = 10.0f;
    double phase = 0;
    for (int block = 0; block < 20000; ++block) {
        // A sine whose loudness wanders between very quiet and full scale.
        double amp = 32767.0 * std::pow(10.0, -3.0 * ((block / 400) % 7) / 6.0);
        std::vector<int16_t> s(2048);
        for (size_t i = 0; i < s.size(); i += 2) {
            s[i] = s[i + 1] = static_cast<int16_t>(amp * std::sin(phase));
            phase += 0.031;
        }
        const auto input = s;
        ApplyAutoGain(s.data(), 1024);
        ASSERT_GE(agcGain, 1.0f) << "block " << block;
        ASSERT_LE(agcGain, 2.5f) << "block " << block;
        for (size_t i = 0; i < s.size(); ++i) {
            // A positive sample is scaled, never saturated.
            if (input[i] > 0) {
                ASSERT_LT(input[i] * static_cast<double>(agcGain), 32768.0) << "block " << block;
            }
        }
    }
}

} // namespace
