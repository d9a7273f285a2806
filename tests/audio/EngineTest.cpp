// The engine's behaviour on its own output devices: the "no sound" clock and a
// capture device that records every mixed block. Runs natively (under the
// sanitizers) and on Windows.

#include "AnsiText.h"
#include "CaptureOutput.h"
#include "EngineTestSupport.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

namespace sonvale::test {
namespace {

using Engine = AudioEngineTest;

const ModuleSpec kTwoPatterns{"Two patterns", 2, 16, 3, -1, 100}; // 1.92 s
const ModuleSpec kShort{"Short one", 1, 8, 3, -1, 100};           // 0.48 s

// ---------------------------------------------------------------- life cycle

TEST_F(Engine, SecondInitFailsWithAlreadyAndFreeTwiceWithInit) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
    EXPECT_FALSE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
    EXPECT_TRUE(BASS_Free());
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
    EXPECT_FALSE(BASS_Free());
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
}

TEST_F(Engine, InitRejectsWhatItCannotDo) {
    struct Case {
        int device;
        DWORD freq;
        DWORD flags;
        int error;
    } cases[] = {
        {0, 44100, 1, BASS_ERROR_ILLPARAM},   {0, 0, 0, BASS_ERROR_ILLPARAM},
        {0, 1000000, 0, BASS_ERROR_ILLPARAM}, {-2, 44100, 0, BASS_ERROR_DEVICE},
#ifndef _WIN32
        {-1, 44100, 0, BASS_ERROR_DEVICE}, // no sound card backend outside Windows
#endif
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(BASS_Init(c.device, c.freq, c.flags, nullptr, nullptr)) << c.device;
        EXPECT_EQ(BASS_ErrorGetCode(), c.error) << c.device << " " << c.freq << " " << c.flags;
    }
}

TEST_F(Engine, InitAndFreeRepeatedlyWhileMusicPlays) {
    const std::vector<uint8_t> module = WriteModule(kTwoPatterns);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr)) << i;
        const HMUSIC music = LoadPadded(module);
        ASSERT_NE(music, 0u);
        ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
        if (i % 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_TRUE(BASS_Free()) << i;
        EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_STOPPED));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    }
}

TEST_F(Engine, ErrorCodeIsPerThread) {
    EXPECT_FALSE(BASS_Free());
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    int other = -2;
    std::thread([&] {
        BASS_ChannelIsActive(0);
        other = BASS_ErrorGetCode();
    }).join();
    EXPECT_EQ(other, BASS_ERROR_HANDLE);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
}

// ---------------------------------------------------------------- loading

TEST_F(Engine, LoadBeforeInitFailsWithInit) {
    EXPECT_EQ(LoadPadded(WriteModule(kShort)), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
}

TEST_F(Engine, BadInputFailsWithItsErrorCode) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    const std::vector<uint8_t> good = WriteModule(kShort);
    std::vector<uint8_t> text(4000);
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<uint8_t>("This is no module at all. "[i % 26]);
    }
    const std::vector<uint8_t> zeros(kTrackBufferSize, 0);
    const std::vector<uint8_t> header(good.begin(), good.begin() + 600); // cut in the header

    struct Case {
        const char* what;
        const void* data;
        DWORD length;
        DWORD flags;
        DWORD freq;
        int error;
    } cases[] = {
        {"text", text.data(), DWORD(text.size()), kPlayerFlags, 0, BASS_ERROR_FILEFORM},
        {"1 MiB of zeros", zeros.data(), DWORD(zeros.size()), kPlayerFlags, 0, BASS_ERROR_FILEFORM},
        {"cut in the header", header.data(), DWORD(header.size()), kPlayerFlags, 0,
         BASS_ERROR_FILEFORM},
        {"null pointer", nullptr, 1000, kPlayerFlags, 0, BASS_ERROR_ILLPARAM},
        {"zero length", good.data(), 0, kPlayerFlags, 0, BASS_ERROR_ILLPARAM},
        {"unknown flag", good.data(), DWORD(good.size()), kPlayerFlags | 0x40000000, 0,
         BASS_ERROR_ILLPARAM},
        {"float output", good.data(), DWORD(good.size()), kPlayerFlags | 0x100, 0,
         BASS_ERROR_ILLPARAM},
        {"loop and stop at jump", good.data(), DWORD(good.size()),
         BASS_MUSIC_LOOP | BASS_MUSIC_STOPBACK, 0, BASS_ERROR_ILLPARAM},
        {"other rate", good.data(), DWORD(good.size()), kPlayerFlags, 22050, BASS_ERROR_ILLPARAM},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BASS_MusicLoad(TRUE, c.data, 0, c.length, c.flags, c.freq), 0u) << c.what;
        EXPECT_EQ(BASS_ErrorGetCode(), c.error) << c.what;
    }
    EXPECT_EQ(BASS_MusicLoad(FALSE, "no/such/module.mod", 0, 0, kPlayerFlags, 0), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
}

TEST_F(Engine, ModuleCutInItsSampleDataStillPlaysToAnEnd) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    std::vector<uint8_t> module = WriteModule(kShort);
    module.resize(module.size() - 40);
    const HMUSIC music =
        BASS_MusicLoad(TRUE, module.data(), 0, DWORD(module.size()), kPlayerFlags, 0);
    ASSERT_NE(music, 0u) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    EXPECT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 10));
}

TEST_F(Engine, OffsetAndFileLoadingReachTheSameModule) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    std::vector<uint8_t> module = WriteModule(kShort);
    std::vector<uint8_t> shifted(7 + module.size(), 0xAA);
    std::copy(module.begin(), module.end(), shifted.begin() + 7);
    const HMUSIC fromOffset =
        BASS_MusicLoad(TRUE, shifted.data(), 7, DWORD(module.size()), kPlayerFlags, 0);
    ASSERT_NE(fromOffset, 0u);
    EXPECT_STREQ(BASS_ChannelGetTags(fromOffset, BASS_TAG_MUSIC_NAME), "Short one");

    const std::string path = ::testing::TempDir() + "sonvale-engine-test.mod";
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(file);
    std::fwrite(shifted.data(), 1, shifted.size(), file);
    std::fclose(file);
    const HMUSIC fromFile = BASS_MusicLoad(FALSE, path.c_str(), 7, 0, kPlayerFlags, 0);
    std::remove(path.c_str());
    ASSERT_NE(fromFile, 0u) << BASS_ErrorGetCode();
    EXPECT_STREQ(BASS_ChannelGetTags(fromFile, BASS_TAG_MUSIC_NAME), "Short one");
}

// ---------------------------------------------------------------- handles

void CALLBACK NothingDsp(HDSP, DWORD, void*, DWORD, void*) {}

TEST_F(Engine, DeadHandlesFailWithoutEffect) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    const HMUSIC freed = LoadPadded(WriteModule(kShort));
    ASSERT_NE(freed, 0u);
    ASSERT_TRUE(BASS_MusicFree(freed));
    const HMUSIC live = LoadPadded(WriteModule(kShort));
    ASSERT_NE(live, 0u);
    ASSERT_NE(live, freed);

    const DWORD handles[] = {0, freed, 0x12345678u, live + 1, live ^ 0x100};
    for (DWORD h : handles) {
        SCOPED_TRACE(h);
        EXPECT_FALSE(BASS_MusicFree(h));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        EXPECT_EQ(BASS_ChannelSetDSP(h, NothingDsp, nullptr, 0), 0u);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        EXPECT_FALSE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.5f));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        EXPECT_FALSE(BASS_ChannelPlay(h, FALSE));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        EXPECT_EQ(BASS_ChannelGetTags(h, BASS_TAG_MUSIC_NAME), nullptr);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        EXPECT_EQ(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    }
    // None of that touched the live music.
    EXPECT_STREQ(BASS_ChannelGetTags(live, BASS_TAG_MUSIC_NAME), "Short one");
    EXPECT_EQ(BASS_ChannelIsActive(live), DWORD(BASS_ACTIVE_STOPPED));
}

TEST_F(Engine, FreedHandleNeverComesBack) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    const std::vector<uint8_t> module = WriteModule(kShort);
    std::vector<HMUSIC> seen;
    // More loads than the engine has slots, so every slot is reused.
    for (int i = 0; i < 270; ++i) {
        const HMUSIC h = BASS_MusicLoad(TRUE, module.data(), 0, DWORD(module.size()), 0, 0);
        ASSERT_NE(h, 0u);
        seen.push_back(h);
        ASSERT_TRUE(BASS_MusicFree(h));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    // Not after a new Init either.
    ASSERT_TRUE(BASS_Free());
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    const HMUSIC fresh = BASS_MusicLoad(TRUE, module.data(), 0, DWORD(module.size()), 0, 0);
    EXPECT_FALSE(std::binary_search(seen.begin(), seen.end(), fresh));
    for (HMUSIC old : seen) {
        ASSERT_EQ(BASS_ChannelIsActive(old), DWORD(BASS_ACTIVE_STOPPED));
        ASSERT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    }
}

TEST_F(Engine, WrongAttributeOrTagTypeIsIllType) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    const HMUSIC music = LoadPadded(WriteModule(kShort));
    EXPECT_FALSE(BASS_ChannelSetAttribute(music, 1, 0.5f));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
    EXPECT_EQ(BASS_ChannelGetTags(music, 0), nullptr);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
    EXPECT_FALSE(BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, std::nanf("")));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_EQ(BASS_ChannelSetDSP(music, nullptr, nullptr, 0), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

// ---------------------------------------------------------------- tags

TEST_F(Engine, TitleTagIsTheModulesTitleAndUntitledGivesNull) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    ModuleSpec untitled = kShort;
    untitled.title = "";
    const HMUSIC titled = LoadPadded(WriteModule(kTwoPatterns));
    const HMUSIC bare = LoadPadded(WriteModule(untitled));
    ASSERT_NE(titled, 0u);
    ASSERT_NE(bare, 0u);
    const char* title = BASS_ChannelGetTags(titled, BASS_TAG_MUSIC_NAME);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
    EXPECT_STREQ(title, "Two patterns");
    EXPECT_EQ(BASS_ChannelGetTags(bare, BASS_TAG_MUSIC_NAME), nullptr);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
    // The text stays put until the music is freed.
    EXPECT_EQ(BASS_ChannelGetTags(titled, BASS_TAG_MUSIC_NAME), title);
}

#ifdef _WIN32
TEST(AnsiText, TitlesAreConvertedFromUtf8ToTheAnsiCodePage) {
    const wchar_t wide[] = L"Caf\u00e9 \u00c0 la plage";
    char expected[64] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, expected, sizeof expected, nullptr, nullptr);
    EXPECT_EQ(audio::Utf8ToAnsi("Caf\xC3\xA9 \xC3\x80 la plage"), std::string(expected));
    if (GetACP() == 1252) {
        EXPECT_EQ(audio::Utf8ToAnsi("Caf\xC3\xA9"), "Caf\xE9"); // Western European
    }
    EXPECT_EQ(audio::Utf8ToAnsi("plain"), "plain");
    EXPECT_EQ(audio::Utf8ToAnsi(""), "");
}
#endif

// ---------------------------------------------------------------- playing

TEST_F(Engine, MusicPlaysOnceToItsEndForAboutItsLength) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    const HMUSIC music = LoadPadded(WriteModule(kTwoPatterns));
    ASSERT_NE(music, 0u);
    EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_STOPPED)); // not started yet
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_PLAYING));
    ASSERT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 20));
    capture->record = false;
    const Extent sound = SoundExtent(capture->Samples());
    const double seconds = sound.Frames() / 44100.0;
    EXPECT_NEAR(seconds, PlayedSeconds(kTwoPatterns), 0.03);
}

TEST_F(Engine, StopsWhereTheSongJumpsBack) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    // Orders 0, 1, 2 with a jump back to order 0 at the end of order 1: order 2
    // never plays, and the music ends after two patterns instead of looping.
    const ModuleSpec jumping{"Jumper", 3, 16, 3, 1, 100};
    const HMUSIC music = LoadPadded(WriteModule(jumping));
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    ASSERT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 20));
    capture->record = false;
    EXPECT_NEAR(SoundExtent(capture->Samples()).Frames() / 44100.0, PlayedSeconds(jumping), 0.03);
    EXPECT_NEAR(PlayedSeconds(jumping), 1.92, 1e-9);
}

TEST_F(Engine, LoopFlagRepeatsTheMusic) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    const HMUSIC music = LoadPadded(WriteModule(kShort), BASS_MUSIC_LOOP | BASS_MUSIC_RAMPS);
    const uint64_t start = capture->submittedFrames;
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    const uint64_t frames = uint64_t(PlayedSeconds(kShort) * 44100);
    ASSERT_TRUE(WaitUntil([&] { return capture->submittedFrames > start + 5 * frames; }, 20));
    EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_PLAYING));
    capture->record = false;
    const std::vector<int16_t> samples = capture->Samples();
    const Extent sound = SoundExtent(samples);
    // Sound from the start to the end of the capture: over four times the music.
    EXPECT_GT(sound.Frames(), 4 * frames);
    EXPECT_GE(sound.end + 1024, samples.size() / 2);
}

TEST_F(Engine, StoppedOnlyOnceTheDeviceHasPlayedTheLastBlock) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    capture->playAll = false; // the device hears nothing until we say so
    const HMUSIC music = LoadPadded(WriteModule(kShort));
    const uint64_t start = capture->submittedFrames;
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    const uint64_t frames = uint64_t(PlayedSeconds(kShort) * 44100);
    // Mixed well past the end...
    ASSERT_TRUE(
        WaitUntil([&] { return capture->submittedFrames > start + frames + 20 * 1024; }, 20));
    EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_PLAYING));
    // ...but heard only up to just before the last frame of sound.
    const Extent sound = SoundExtent(capture->Samples());
    ASSERT_GT(sound.Frames(), 0u);
    capture->heldPlayed = sound.end - 1;
    EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_PLAYING));
    // Stopped from the end of the music on, which lies in the block of its last sound.
    uint64_t stoppedAt = sound.end;
    for (; stoppedAt < sound.end + 2048; ++stoppedAt) {
        capture->heldPlayed = stoppedAt;
        if (BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED) {
            break;
        }
    }
    EXPECT_LT(stoppedAt, (sound.end / 1024 + 1) * 1024 + 1);
    capture->heldPlayed = stoppedAt + 5000;
    EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_STOPPED));
}

TEST_F(Engine, PlayAfterTheEndStartsAgainFromTheTop) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    const HMUSIC music = LoadPadded(WriteModule(kShort));
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    ASSERT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 20));
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_PLAYING));
    ASSERT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 20));
}

TEST_F(Engine, CallerMayRefillItsBufferRightAfterTheLoad) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    std::vector<uint8_t> buffer = Padded(WriteModule(kShort));
    const HMUSIC music =
        BASS_MusicLoad(TRUE, buffer.data(), 0, DWORD(buffer.size()), kPlayerFlags, 0);
    ASSERT_NE(music, 0u);
    std::fill(buffer.begin(), buffer.end(), uint8_t(0x55));
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    ASSERT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 20));
    capture->record = false;
    EXPECT_NEAR(SoundExtent(capture->Samples()).Frames() / 44100.0, PlayedSeconds(kShort), 0.03);
    EXPECT_STREQ(BASS_ChannelGetTags(music, BASS_TAG_MUSIC_NAME), "Short one");
}

// Plays the module once at `volume` and returns what was mixed, from the start
// of the music on.
std::vector<int16_t> PlayAtVolume(const std::vector<uint8_t>& module, float volume) {
    auto capture = InitCapture();
    if (!capture) {
        return {};
    }
    const HMUSIC music = LoadPadded(module);
    BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, volume);
    BASS_ChannelPlay(music, FALSE);
    WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 20);
    BASS_Free();
    std::vector<int16_t> samples = capture->Samples();
    // A music starts at a block boundary: line captures up on the block of the
    // first sound, since a quiet first sample may round to 0 at a low volume.
    const size_t first = SoundExtent(samples).first / CaptureOutput::kBlockFrames;
    return std::vector<int16_t>(samples.begin() + 2 * first * CaptureOutput::kBlockFrames,
                                samples.end());
}

TEST_F(Engine, HalfVolumeHalvesEverySample) {
    const std::vector<uint8_t> module = WriteModule(kTwoPatterns);
    const std::vector<int16_t> full = PlayAtVolume(module, 1.0f);
    const std::vector<int16_t> half = PlayAtVolume(module, 0.5f);
    ASSERT_GT(Peak(full), 2000);
    ASSERT_GE(half.size(), size_t(PlayedSeconds(kTwoPatterns) * 44100 * 2));
    for (size_t i = 0; i < size_t(PlayedSeconds(kTwoPatterns) * 44100 * 2); ++i) {
        ASSERT_LE(std::abs(half[i] - full[i] / 2.0), 1.0) << "sample " << i;
    }
}

TEST_F(Engine, VolumeOutsideZeroToOneIsClamped) {
    const std::vector<uint8_t> module = WriteModule(kShort);
    const std::vector<int16_t> full = PlayAtVolume(module, 1.0f);
    const std::vector<int16_t> loud = PlayAtVolume(module, 7.0f);
    const std::vector<int16_t> negative = PlayAtVolume(module, -1.0f);
    ASSERT_GT(Peak(full), 2000);
    const size_t n = size_t(PlayedSeconds(kShort) * 44100 * 2);
    ASSERT_GE(loud.size(), n);
    EXPECT_TRUE(std::equal(full.begin(), full.begin() + n, loud.begin()));
    EXPECT_TRUE(negative.empty() || Peak(negative) == 0); // nothing heard at all
}

// ---------------------------------------------------------------- DSP

struct DspLog {
    std::mutex lock;
    std::vector<std::string> calls;
    int peakSeen = 0;
    uint64_t bytes = 0;
    DWORD channel = 0;
    HDSP handle = 0;
    void* user = nullptr;
};

void CALLBACK RecordingDsp(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user) {
    auto* log = static_cast<DspLog*>(user);
    std::lock_guard<std::mutex> hold(log->lock);
    const auto* s = static_cast<const int16_t*>(buffer);
    for (DWORD i = 0; i < length / 2; ++i) {
        log->peakSeen = std::max(log->peakSeen, std::abs(static_cast<int>(s[i])));
    }
    log->bytes += length;
    log->channel = channel;
    log->handle = handle;
    log->user = user;
}

TEST_F(Engine, DspSeesEveryBlockBeforeTheVolume) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    const HMUSIC music = LoadPadded(WriteModule(kTwoPatterns));
    DspLog log;
    const HDSP dsp = BASS_ChannelSetDSP(music, RecordingDsp, &log, 0);
    ASSERT_NE(dsp, 0u);
    ASSERT_TRUE(BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, 0.0f));
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    ASSERT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 20));
    capture->record = false;
    EXPECT_EQ(Peak(capture->Samples()), 0); // the volume silenced the output...
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_GT(log.peakSeen, 2000); // ...after the DSP had seen the music at full level
    // Every frame of the music passed through it, as 16-bit stereo.
    EXPECT_NEAR(log.bytes / 4 / 44100.0, PlayedSeconds(kTwoPatterns), 0.03);
    EXPECT_EQ(log.bytes % 4, 0u);
    EXPECT_EQ(log.channel, music);
    EXPECT_EQ(log.handle, dsp);
    EXPECT_EQ(log.user, &log);
}

void CALLBACK ConstantDsp(HDSP, DWORD, void* buffer, DWORD length, void*) {
    auto* s = static_cast<int16_t*>(buffer);
    for (DWORD i = 0; i < length / 2; ++i) {
        s[i] = 10000;
    }
}

TEST_F(Engine, WhatTheDspWritesIsWhatIsHeard) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    const HMUSIC music = LoadPadded(WriteModule(kShort));
    ASSERT_NE(BASS_ChannelSetDSP(music, ConstantDsp, nullptr, 0), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    ASSERT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 20));
    capture->record = false;
    const std::vector<int16_t> samples = capture->Samples();
    const Extent sound = SoundExtent(samples);
    ASSERT_GT(sound.Frames(), 0u);
    for (size_t i = 2 * sound.first; i < 2 * sound.end; ++i) {
        ASSERT_EQ(samples[i], 10000) << i;
    }
}

struct OrderLog {
    std::mutex lock;
    std::vector<int> order;
};

template <int Tag> void CALLBACK TaggedDsp(HDSP, DWORD, void*, DWORD, void* user) {
    auto* log = static_cast<OrderLog*>(user);
    std::lock_guard<std::mutex> hold(log->lock);
    if (log->order.size() < 4) {
        log->order.push_back(Tag);
    }
}

TEST_F(Engine, DspsRunFromTheHighestPriorityDown) {
    auto capture = InitCapture();
    ASSERT_TRUE(capture);
    const HMUSIC music = LoadPadded(WriteModule(kShort));
    OrderLog log;
    ASSERT_NE(BASS_ChannelSetDSP(music, TaggedDsp<1>, &log, 0), 0u);
    ASSERT_NE(BASS_ChannelSetDSP(music, TaggedDsp<2>, &log, 5), 0u);
    ASSERT_NE(BASS_ChannelSetDSP(music, TaggedDsp<3>, &log, -3), 0u);
    ASSERT_NE(BASS_ChannelSetDSP(music, TaggedDsp<4>, &log, 5), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    ASSERT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 20));
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.order, (std::vector<int>{2, 4, 1, 3}));
}

TEST_F(Engine, VolumeChangeRampsAcrossOneBlockWithoutAJump) {
    auto capture = InitCapture(2000); // slow enough to act between blocks
    ASSERT_TRUE(capture);
    ModuleSpec longer = kTwoPatterns;
    longer.orders = 4;
    const HMUSIC music = LoadPadded(WriteModule(longer), BASS_MUSIC_STOPBACK);
    ASSERT_NE(BASS_ChannelSetDSP(music, ConstantDsp, nullptr, 0), 0u);
    const uint64_t start = capture->submittedFrames;
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    ASSERT_TRUE(WaitUntil([&] { return capture->submittedFrames > start + 10 * 1024; }, 20));
    ASSERT_TRUE(BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, 0.0f));
    ASSERT_TRUE(WaitUntil([&] { return capture->submittedFrames > start + 20 * 1024; }, 20));
    capture->record = false;
    const std::vector<int16_t> s = capture->Samples();
    const Extent sound = SoundExtent(s);
    ASSERT_EQ(s[2 * sound.first], 10000);
    // From full level to silence within one block, in steps no larger than an
    // even ramp's.
    size_t rampStart = sound.first;
    while (s[2 * rampStart] == 10000) {
        ++rampStart;
    }
    EXPECT_LE(sound.end - rampStart, CaptureOutput::kBlockFrames);
    for (size_t f = sound.first + 1; f < s.size() / 2; ++f) {
        ASSERT_LE(std::abs(s[2 * f] - s[2 * f - 2]), 10000 / 1024 + 1) << f;
    }
}

TEST_F(Engine, NoCallbackAfterMusicFreeReturns) {
    auto capture = InitCapture(0);
    ASSERT_TRUE(capture);
    capture->record = false;
    const std::vector<uint8_t> module = WriteModule(kTwoPatterns);
    for (int i = 0; i < 50; ++i) {
        DspLog log;
        const HMUSIC music = LoadPadded(module, BASS_MUSIC_LOOP);
        ASSERT_NE(BASS_ChannelSetDSP(music, RecordingDsp, &log, 0), 0u);
        ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
        WaitUntil(
            [&] {
                std::lock_guard<std::mutex> hold(log.lock);
                return log.bytes > 0;
            },
            5);
        ASSERT_TRUE(BASS_MusicFree(music));
        uint64_t bytes;
        {
            std::lock_guard<std::mutex> hold(log.lock);
            bytes = log.bytes;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        std::lock_guard<std::mutex> hold(log.lock);
        ASSERT_EQ(log.bytes, bytes) << "a callback ran after MusicFree returned";
    }
}

// ---------------------------------------------------------------- "no sound"

TEST_F(Engine, NoSoundDevicePlaysInRealTime) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    const HMUSIC music = LoadPadded(WriteModule(kShort));
    DspLog log;
    ASSERT_NE(BASS_ChannelSetDSP(music, RecordingDsp, &log, 0), 0u);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    ASSERT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == BASS_ACTIVE_STOPPED; }, 10));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, PlayedSeconds(kShort) * 0.9);
    EXPECT_LT(seconds, PlayedSeconds(kShort) + 3.0); // generous: a busy machine
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_NEAR(log.bytes / 4 / 44100.0, PlayedSeconds(kShort), 0.03);
}

} // namespace
} // namespace sonvale::test
