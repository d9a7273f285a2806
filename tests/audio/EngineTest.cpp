// The engine's behaviour on its own output devices: the "no sound" clock and a
// capture device that records every mixed block, also with several threads at
// once. Runs natively (under the sanitizers) and on Windows.

#include "EngineTestSupport.h"
#include "TestFormats.h"

#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>

namespace sonvale::test {
namespace {

using Engine = AudioEngineTest;

const ModuleSpec kShort{"Short one", 1, 8};
const uint64_t kSong = 8 * 3 * 882; // frames: 8 rows of 3 ticks at 125 BPM, in the 21st block

HMUSIC Load(const std::vector<uint8_t>& module, DWORD flags, DWORD length = 0) {
    return BASS_MusicLoad(TRUE, module.data(), 0, length ? length : DWORD(module.size()), flags, 0);
}

const auto Value = [](int v) { return reinterpret_cast<void*>(static_cast<intptr_t>(v)); };

// Fills every sample with its user value: what is heard then shows exactly
// which frames the music covered and what the mixer made of them.
void CALLBACK FillDsp(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    std::fill_n(static_cast<int16_t*>(buffer), length / 2,
                static_cast<int16_t>(reinterpret_cast<intptr_t>(user)));
}

// A step that succeeded returns non-zero, and that must go with BASS_OK.
#define STEP(call) [&] { return (call) != 0; }

TEST_F(Engine, EachCallReportsItsErrorCode) {
    const std::vector<uint8_t> good = WriteModule({"Caf\xE9 au lait", 1, 8}),
                               zeros(kTrackBufferSize, 0);
    const DWORD size = DWORD(good.size());
    const std::string path =
        ::testing::TempDir() + "sonvale-engine-test-" + // one per run
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::ofstream(path, std::ios::binary)
        .write("\xAA\xAA\xAA", 3)
        .write(reinterpret_cast<const char*>(&good[0]), size);
    HMUSIC music = 0;
    const char* title = nullptr;
#ifdef _WIN32
    char ansi[32] = {}; // the title in the ANSI code page
    WideCharToMultiByte(CP_ACP, 0, L"Caf\u00e9 au lait", -1, ansi, 32, nullptr, nullptr);
#else
    const char* ansi = "Caf\xC3\xA9 au lait"; // the narrow character set is UTF-8 here
#endif
    const std::tuple<const char*, std::function<bool()>, int> steps[] = {
        {"init with flags", STEP(BASS_Init(0, 44100, 1, 0, 0)), BASS_ERROR_ILLPARAM},
        {"init at 0 Hz", STEP(BASS_Init(0, 0, 0, 0, 0)), BASS_ERROR_ILLPARAM},
        {"init at 1 MHz", STEP(BASS_Init(0, 1000000, 0, 0, 0)), BASS_ERROR_ILLPARAM},
        {"init", STEP(BASS_Init(0, 44100, 0, 0, 0)), BASS_OK},
        {"init again", STEP(BASS_Init(0, 44100, 0, 0, 0)), BASS_ERROR_ALREADY},
        {"1 MiB of zeros", STEP(Load(zeros, kPlayerFlags)), BASS_ERROR_FILEFORM},
        {"cut in the header", STEP(Load(good, kPlayerFlags, 600)), BASS_ERROR_FILEFORM},
        {"loop, stop at a jump", STEP(Load(good, 0x80004)), BASS_ERROR_ILLPARAM},
        {"missing file", STEP(BASS_MusicLoad(FALSE, "no.mod", 0, 0, 0, 0)), BASS_ERROR_FILEOPEN},
        {"file at an offset", STEP(BASS_MusicLoad(FALSE, path.c_str(), 3, size, 0, 0)), BASS_OK},
        {"cut in its sample", STEP(Load(good, 0, size - 40)), BASS_OK},
        {"load", STEP(music = LoadPadded(good)), BASS_OK},
        {"title in ANSI",
         STEP((title = BASS_ChannelGetTags(music, BASS_TAG_MUSIC_NAME)) &&
              title == std::string(ansi)),
         BASS_OK},
        {"the same text", STEP(BASS_ChannelGetTags(music, 0x10000) == title), BASS_OK},
        {"untitled", STEP(BASS_ChannelGetTags(LoadPadded(WriteModule({})), 0x10000)),
         BASS_ERROR_NOTAVAIL},
        {"free", STEP(BASS_Free()), BASS_OK},
        {"free again", STEP(BASS_Free()), BASS_ERROR_INIT},
        {"load after free", STEP(Load(good, 0)), BASS_ERROR_INIT},
        {"another thread's failure", // leaves this thread's last error alone
         [] { return std::thread([] { BASS_ChannelIsActive(0); }).join(), false; },
         BASS_ERROR_INIT},
    };
    for (const auto& [what, call, error] : steps) {
        EXPECT_EQ(call(), error == BASS_OK) << what;
        EXPECT_EQ(BASS_ErrorGetCode(), error) << what;
    }
    std::remove(path.c_str());
}

TEST_F(Engine, HandlesAreNeverReusedAndDeadOnesFailWithoutEffect) {
    const std::vector<uint8_t> module = WriteModule(kShort);
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    std::vector<HMUSIC> seen{LoadPadded(module)}; // dies with BASS_Free
    ASSERT_TRUE(BASS_Free());
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    for (int i = 0; i < 300; ++i) { // more loads than the table has slots
        seen.push_back(Load(module, 0));
        ASSERT_TRUE(BASS_MusicFree(seen.back()));
    }
    const HMUSIC live = LoadPadded(module);
    // 0, a handle from before BASS_Free, the one before `live` in its slot, an empty slot.
    const DWORD dead[] = {0, seen.front(), live - 0x100, live + 1};
    seen.push_back(live);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    for (DWORD h : dead) {
        const std::function<bool()> calls[] = {
            STEP(BASS_MusicFree(h)),         STEP(BASS_ChannelSetDSP(h, FillDsp, 0, 0)),
            STEP(BASS_ChannelPlay(h, TRUE)), STEP(BASS_ChannelSetAttribute(h, 2, 1)),
            STEP(BASS_ChannelIsActive(h)),   STEP(BASS_ChannelGetTags(h, 0x10000))};
        for (size_t i = 0; i < std::size(calls); ++i) {
            EXPECT_FALSE(calls[i]()) << h << " call " << i;
            EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE) << h << " call " << i;
        }
    }
    EXPECT_STREQ(BASS_ChannelGetTags(live, BASS_TAG_MUSIC_NAME), "Short one"); // untouched,
    EXPECT_EQ(BASS_ChannelIsActive(live), DWORD(BASS_ACTIVE_STOPPED));         // not started
}

// A music's count of DSP calls, which the caller of BASS_MusicFree sets to kFreed
// on its return: a count above kFreed is a call that came too late.
constexpr int kFreed = 1 << 24;

void CALLBACK CountingDsp(HDSP, DWORD channel, void* buffer, DWORD length, void* user) {
    ++*static_cast<std::atomic<int>*>(user);
    BASS_ChannelIsActive(channel); // a DSP may ask the engine about its own channel
    BASS_ChannelSetAttribute(channel, BASS_ATTRIB_VOL, 0.7f);
    BASS_ChannelGetTags(channel, BASS_TAG_MUSIC_NAME);
    FillDsp(0, channel, buffer, length, nullptr);
}

// The player's threads at once: a worker loading, playing and freeing musics, the
// interface thread using the same handles, DSPs on the mixing thread, and BASS_Free
// while the worker is busy.
TEST_F(Engine, ThreadsShareHandlesAndFreeWhileTheWorkerLoads) {
    CaptureOutput* capture = InitCapture();
    ASSERT_TRUE(capture);
    capture->record = false;
    capture->holdAt = UINT64_MAX;
    const std::vector<uint8_t> junk(4096, 0x42), titled = WriteModule({"Busy", 2, 16});
    std::deque<std::atomic<int>> calls; // the worker's until it ends; alive for late callbacks
    std::atomic<HMUSIC> current{0};
    std::atomic<size_t> loads{0}, called{0};
    std::atomic<int> lastError{0};
    std::thread worker([&] { // until its loads fail because of BASS_Free
        for (size_t i = 0; lastError != BASS_ERROR_INIT && i < 10000; i = ++loads) {
            std::atomic<int>& count = calls.emplace_back(0);
            const HMUSIC music = LoadPadded(i % 10 == 9 ? junk : titled); // the station may err
            lastError = BASS_ErrorGetCode();
            BASS_ChannelSetDSP(music, CountingDsp, &count, 0);
            BASS_ChannelPlay(music, FALSE);
            current = music;
            std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 7)));
            // Adding a DSP and restarting wait out a render that may be inside the DSP above.
            BASS_ChannelSetDSP(music, CountingDsp, &count, 1);
            BASS_ChannelPlay(music, i % 3 == 0);
            BASS_MusicFree(music);
            called += count.exchange(kFreed) > 0;
        }
    });
    while (loads <= 150) { // meanwhile this thread acts as the interface thread
        BASS_ChannelSetAttribute(current, BASS_ATTRIB_VOL, 0.5f);
        BASS_ChannelIsActive(current);
        BASS_ChannelGetTags(current, BASS_TAG_MUSIC_NAME);
    }
    EXPECT_TRUE(BASS_Free());
    worker.join();
    EXPECT_EQ(lastError, BASS_ERROR_INIT); // the worker's loads after it failed with it
    for (const std::atomic<int>& count : calls) {
        EXPECT_EQ(count, kFreed); // no call once BASS_MusicFree had returned
    }
    EXPECT_GT(called, 10u); // the mixer really ran the DSPs meanwhile
}

// The engine on a capture device held before its first block: a music played
// now starts at frame 0.
class Mixing : public AudioEngineTest {
  protected:
    void SetUp() override { Restart(); }
    void Restart() {
        BASS_Free();
        ASSERT_TRUE(capture = InitCapture());
    }
    // Plays the module as the player loads it, with a DSP that fills it with `fill`.
    HMUSIC Start(const ModuleSpec& spec, int fill, DWORD flags = kPlayerFlags) {
        const HMUSIC music = LoadPadded(WriteModule(spec), flags);
        EXPECT_NE(BASS_ChannelSetDSP(music, FillDsp, Value(fill), 0), 0u);
        EXPECT_TRUE(BASS_ChannelPlay(music, FALSE));
        return music;
    }
    CaptureOutput* capture = nullptr;
};

TEST_F(Mixing, PlaysOnceToTheEndOrAJumpBackAndAgainWhenAskedOrAfterTheEnd) {
    const ModuleSpec jumper{"Jumper", 3, 16, 0}; // orders 1 and 2 follow a jump back
    const uint64_t early = 4 * 1024, late = 32 * 1024, all = UINT64_MAX;
    // The music, its flags, when Play is called again and how, the frames heard.
    const std::tuple<ModuleSpec, DWORD, uint64_t, BOOL, uint64_t> cases[] = {
        {kShort, kPlayerFlags, 0, FALSE, kSong},
        {jumper, kPlayerFlags, 0, FALSE, 2 * kSong}, // one order of 16 rows
        {kShort, BASS_MUSIC_LOOP | BASS_MUSIC_RAMPS, 0, FALSE, all},
        {kShort, kPlayerFlags, early, FALSE, kSong},
        {kShort, kPlayerFlags, early, TRUE, early + kSong},
        {kShort, kPlayerFlags, late, FALSE, late + kSong},
    };
    for (const auto& [spec, flags, again, restart, heard] : cases) {
        Restart();
        const HMUSIC music = Start(spec, 10000, flags);
        if (again) {
            capture->RunTo(again);
            EXPECT_TRUE(BASS_ChannelPlay(music, restart));
        }
        capture->played = 0; // heard only as the test says
        const std::vector<int16_t> s = capture->RunTo(again + 4 * kSong);
        SCOPED_TRACE(testing::Message() << spec.title << " " << again << " " << restart);
        EXPECT_EQ(SoundExtent(s).first, 0u);
        EXPECT_EQ(SoundExtent(s).end, std::min<uint64_t>(heard, s.size() / 2));
        // Playing until the device has played the last frame, then stopped (unless looped).
        capture->played = heard - 1;
        EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(BASS_ACTIVE_PLAYING));
        capture->played = heard;
        EXPECT_EQ(BASS_ChannelIsActive(music), DWORD(heard == all));
    }
}

// The decoder keeps the loaders of MOD, S3M, XM, IT, MTM and UMX only: each of
// those plays, and a module that the full libopenmpt would play in another
// format is refused as bytes that are no module.
TEST_F(Mixing, OnlyTheKeptFormatsPlay) {
    for (const TestFormat& format : kFormats) {
        Restart();
        const HMUSIC music = LoadPadded(format.bytes);
        EXPECT_EQ(music != 0, format.kept) << format.name;
        EXPECT_EQ(BASS_ErrorGetCode(), format.kept ? BASS_OK : BASS_ERROR_FILEFORM) << format.name;
        if (music != 0) {
            EXPECT_TRUE(BASS_ChannelPlay(music, FALSE));
            EXPECT_GT(Peak(capture->RunTo(8 * 1024)), 1000) << format.name;
        }
    }
}

// Keeps what it gets on the mixing thread; read once the mixer is held, which the
// atomic count of submitted frames orders after the writes.
void CALLBACK RecordDsp(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    auto* seen = static_cast<std::vector<int16_t>*>(user);
    const int16_t* s = static_cast<const int16_t*>(buffer);
    seen->insert(seen->end(), s, s + length / 2);
}

// What is heard is the music after its DSPs, at its volume, rounded (a tie to even:
// the fill is odd), to its end in the middle of a block, off the SIMD stride.
TEST_F(Mixing, DspsGetEveryDecodedFrameFromTheHighestPriorityDownBeforeTheVolume) {
    const std::vector<uint8_t> module = WriteModule({"Odd", 1, 7});
    const uint64_t frames = 7 * 3 * 882; // 21 ticks: 90 frames in the last block
    // The flags, the volume, what is heard, and whether the first DSP gets the same
    // sound as in the first row.
    const std::tuple<const char*, DWORD, float, int, bool> cases[] = {
        {"full", kPlayerFlags, 1.0f, 2413, true},
        {"silenced", kPlayerFlags, 0.0f, 0, true},
        {"rounded", kPlayerFlags, 0.3f, 724, true},
        {"halved", kPlayerFlags, 0.5f, 1206, true},
        {"linear", kPlayerFlags & ~0x800000, 1.0f, 2413, false},
        {"no ramps", kPlayerFlags & ~0x400, 1.0f, 2413, false},
    };
    std::vector<int16_t> first;
    for (const auto& [what, flags, volume, heard, same] : cases) {
        SCOPED_TRACE(what);
        Restart();
        std::vector<int16_t> seen;
        const HMUSIC music = LoadPadded(module, flags);
        ASSERT_NE(BASS_ChannelSetDSP(music, RecordDsp, &seen, 10), 0u);
        ASSERT_NE(BASS_ChannelSetDSP(music, FillDsp, Value(2413), 9), 0u);
        ASSERT_TRUE(BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, volume));
        ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
        const std::vector<int16_t> s = capture->RunTo(frames + 2048);
        EXPECT_EQ(std::count(s.begin(), s.begin() + 2 * frames, heard), 2 * frames); // all of it
        EXPECT_EQ(SoundExtent(s).end, heard != 0 ? frames : 0);                      // and no more
        EXPECT_EQ(seen.size(), 2 * frames); // every frame once, as 16-bit stereo,
        EXPECT_GT(Peak(seen), 2000);        // the music itself to the first DSP
        first = first.empty() ? seen : first;
        EXPECT_EQ(seen == first, same);
    }
}

TEST_F(Mixing, VolumeChangeRampsAcrossTheNextBlock) {
    const HMUSIC music = Start(kShort, 10000);
    capture->RunTo(8192);
    ASSERT_TRUE(BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, 0.0f));
    const std::vector<int16_t> s = capture->RunTo(8192 + 2048);
    EXPECT_EQ(s[2 * 8192], 9990);                // one step of 10000 / 1024 down at once,
    EXPECT_EQ(SoundExtent(s).end, 8192 + 1023u); // silent from the last frame of that block
}

} // namespace
} // namespace sonvale::test
