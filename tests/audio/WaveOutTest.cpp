// The engine on the real waveOut device. Under Wine the test's ALSA
// configuration sends the sound to a file (raw 16-bit stereo), which the tests
// read back to check what was actually heard. ctest passes the file's path in
// SONVALE_CAPTURE.

#include "EngineTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

namespace sonvale::test {
namespace {

std::string CapturePath() {
    const char* unixPath = std::getenv("SONVALE_CAPTURE");
    if (!unixPath) {
        return {};
    }
    std::string path = std::string("Z:") + unixPath; // Wine's drive for the Unix root
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

size_t FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<size_t>(in.tellg()) : 0;
}

class WaveOut : public AudioEngineTest {
  protected:
    void SetUp() override {
        AudioEngineTest::SetUp();
        capture = CapturePath();
        ASSERT_FALSE(capture.empty()) << "SONVALE_CAPTURE is not set";
        ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
        startBytes = FileSize(capture);
    }

    // Everything written to the capture file since SetUp.
    std::vector<int16_t> Heard() const {
        std::vector<uint8_t> bytes = ReadBytes(capture);
        const size_t from = bytes.size() >= startBytes ? startBytes : 0;
        std::vector<int16_t> samples((bytes.size() - from) / 2);
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<int16_t>(bytes[from + 2 * i] | (bytes[from + 2 * i + 1] << 8));
        }
        return samples;
    }

    // Plays until the channel reports stopped; returns the frames in the capture
    // file at that moment.
    size_t PlayToEnd(HMUSIC music, double timeoutSeconds) {
        EXPECT_TRUE(BASS_ChannelPlay(music, FALSE));
        EXPECT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; },
                              timeoutSeconds));
        const size_t bytes = FileSize(capture);
        return (bytes >= startBytes ? bytes - startBytes : bytes) / 4;
    }

    std::string capture;
    size_t startBytes = 0;
};

std::vector<uint8_t> ReadModule(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

const char kMario[] = "Z:\\usr\\share\\games\\bomberclone\\music\\mario_is_a_weenie.xm";
const char kUntitled[] = "Z:\\usr\\share\\games\\bomberclone\\music\\slice_me_nice.xm";

TEST_F(WaveOut, SecondInitFailsWithAlready) {
    EXPECT_FALSE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
    EXPECT_FALSE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
}

TEST_F(WaveOut, TitleTagsOfRealModules) {
    const std::vector<uint8_t> mario = ReadModule(kMario);
    const std::vector<uint8_t> untitled = ReadModule(kUntitled);
    ASSERT_FALSE(mario.empty());
    ASSERT_FALSE(untitled.empty());
    const HMUSIC titled = LoadPadded(mario);
    const HMUSIC bare = LoadPadded(untitled);
    ASSERT_NE(titled, 0u);
    ASSERT_NE(bare, 0u);
    EXPECT_STREQ(BASS_ChannelGetTags(titled, BASS_TAG_MUSIC_NAME), "Mario is a Weenie");
    EXPECT_EQ(BASS_ChannelGetTags(bare, BASS_TAG_MUSIC_NAME), nullptr);
}

struct Level {
    std::mutex lock;
    int peak = 0;
};

void CALLBACK MeasureDsp(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    auto* level = static_cast<Level*>(user);
    const auto* s = static_cast<const int16_t*>(buffer);
    std::lock_guard<std::mutex> hold(level->lock);
    for (DWORD i = 0; i < length / 2; ++i) {
        level->peak = std::max(level->peak, std::abs(static_cast<int>(s[i])));
    }
}

TEST_F(WaveOut, RealModulePlaysToItsEndAndStopsOnlyOnceItIsHeard) {
    const std::vector<uint8_t> module = ReadModule(kMario);
    const HMUSIC music = LoadPadded(module);
    ASSERT_NE(music, 0u) << BASS_ErrorGetCode();
    const size_t framesAtStop = PlayToEnd(music, 120);
    ASSERT_TRUE(BASS_Free());

    const std::vector<int16_t> heard = Heard();
    const Extent sound = SoundExtent(heard);
    EXPECT_GT(Peak(heard), 4000); // music, not silence
    // The module's length (68.5 s by its own reckoning); longer only by the
    // silence Wine fills in should the test machine be too busy to keep up.
    EXPECT_GT(sound.Frames() / 44100.0, 68.5 - 1.0);
    EXPECT_LT(sound.Frames() / 44100.0, 68.5 + 10.0);
    // ...and all of it had reached the device when the channel said stopped.
    EXPECT_LE(sound.end, framesAtStop);
}

TEST_F(WaveOut, HalfVolumeHalvesWhatIsHeardAndTheDspSeesFullLevel) {
    const std::vector<uint8_t> module = WriteModule({"Level", 2, 16, 3, -1, 100});
    const HMUSIC full = LoadPadded(module);
    PlayToEnd(full, 30);
    const std::vector<int16_t> fullHeard = Heard();
    const size_t fullEnd = fullHeard.size();

    const HMUSIC half = LoadPadded(module);
    Level level;
    ASSERT_NE(BASS_ChannelSetDSP(half, MeasureDsp, &level, 0), 0u);
    ASSERT_TRUE(BASS_ChannelSetAttribute(half, BASS_ATTRIB_VOL, 0.5f));
    PlayToEnd(half, 30);
    ASSERT_TRUE(BASS_Free());
    const std::vector<int16_t> both = Heard();

    const int fullPeak = Peak(fullHeard);
    const int halfPeak = Peak(both, fullEnd);
    ASSERT_GT(fullPeak, 2000);
    EXPECT_NEAR(double(halfPeak) / fullPeak, 0.5, 0.01);
    std::lock_guard<std::mutex> hold(level.lock);
    EXPECT_NEAR(double(level.peak) / fullPeak, 1.0, 0.01);
}

TEST_F(WaveOut, FreeWhileMusicPlays) {
    const HMUSIC music = LoadPadded(ReadModule(kMario));
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(BASS_Free());
    EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_STOPPED));
    EXPECT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
}

// ctest runs this one with a HOME that has no ALSA configuration, so Wine finds
// no output device at all.
TEST(NoSoundCard, DefaultDeviceFailsWithTheDeviceErrorAndNoSoundStillWorks) {
    if (!std::getenv("SONVALE_NO_SOUND_CARD")) {
        GTEST_SKIP() << "needs a machine without an output device";
    }
    EXPECT_FALSE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    EXPECT_NE(LoadPadded(WriteModule({"Quiet", 1, 4, 3, -1, 100})), 0u);
    EXPECT_TRUE(BASS_Free());
}

} // namespace
} // namespace sonvale::test
