// The player's threads at once: a worker loading and freeing musics, the
// interface thread setting the volume, polling activity and reading tags on the
// same handles, and the mixing thread running their DSPs.

#include "CaptureOutput.h"
#include "EngineTestSupport.h"

#include <atomic>
#include <memory>

namespace sonvale::test {
namespace {

using EngineConcurrency = AudioEngineTest;

// One per loaded music; kept alive to the end of the test so that a late
// callback is caught rather than crashing.
struct Tracker {
    std::atomic<bool> freed{false};
    std::atomic<int> calls{0};
    std::atomic<int>* lateCalls = nullptr;
};

void CALLBACK TrackingDsp(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    auto* t = static_cast<Tracker*>(user);
    if (t->freed.load()) {
        ++*t->lateCalls;
    }
    ++t->calls;
    // Touch the whole block, as a real DSP does.
    auto* s = static_cast<int16_t*>(buffer);
    for (DWORD i = 0; i < length / 2; ++i) {
        s[i] = static_cast<int16_t>(s[i] / 2);
    }
}

TEST_F(EngineConcurrency, LoadAndFreeWhileOthersUseTheSameHandles) {
    auto capture = InitCapture(100);
    ASSERT_TRUE(capture);
    capture->record = false;
    const std::vector<uint8_t> titled = Padded(WriteModule({"Busy", 2, 16, 3, -1, 100}));
    const std::vector<uint8_t> junk(4096, 0x42);

    constexpr int kLoads = 150;
    std::vector<std::unique_ptr<Tracker>> trackers;
    for (int i = 0; i < kLoads; ++i) {
        trackers.push_back(std::make_unique<Tracker>());
    }
    std::atomic<int> lateCalls{0};
    std::atomic<HMUSIC> current{0};
    std::atomic<bool> done{false};
    std::atomic<int> badTitles{0};

    std::thread worker([&] {
        for (int i = 0; i < kLoads; ++i) {
            Tracker& t = *trackers[i];
            t.lateCalls = &lateCalls;
            // Every tenth load is junk, as the station may send.
            const bool bad = i % 10 == 9;
            const HMUSIC music =
                bad ? BASS_MusicLoad(TRUE, junk.data(), 0, DWORD(junk.size()), kPlayerFlags, 0)
                    : BASS_MusicLoad(TRUE, titled.data(), 0, DWORD(titled.size()), kPlayerFlags, 0);
            BASS_ChannelSetDSP(music, TrackingDsp, &t, 0);
            BASS_ChannelSetDSP(music, TrackingDsp, &t, 1);
            BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, 0.8f);
            BASS_ChannelPlay(music, FALSE);
            current = music;
            std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 7)));
            BASS_MusicFree(music);
            t.freed = true;
        }
        done = true;
    });
    auto user = [&](int seed) {
        uint32_t n = seed;
        while (!done) {
            const HMUSIC music = current;
            n = n * 1664525u + 1013904223u;
            BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, (n >> 8) % 101 / 100.0f);
            BASS_ChannelIsActive(music);
            const char* title = BASS_ChannelGetTags(music, BASS_TAG_MUSIC_NAME);
            // The title is read while the music may be freed by the worker: only
            // the pointer, never the text, is safe to look at here.
            if (title == nullptr && BASS_ErrorGetCode() == BASS_OK) {
                ++badTitles;
            }
        }
    };
    std::thread ui1(user, 1);
    std::thread ui2(user, 2);
    worker.join();
    ui1.join();
    ui2.join();

    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_EQ(badTitles.load(), 0);
    int called = 0;
    for (const auto& t : trackers) {
        called += t->calls > 0;
    }
    EXPECT_GT(called, kLoads / 4); // the mixer really ran the DSPs meanwhile
    EXPECT_TRUE(BASS_Free());
}

// A DSP that asks the engine about its own channel while it runs.
void CALLBACK CuriousDsp(HDSP, DWORD channel, void*, DWORD, void* user) {
    BASS_ChannelIsActive(channel);
    BASS_ChannelSetAttribute(channel, BASS_ATTRIB_VOL, 0.7f);
    BASS_ChannelGetTags(channel, BASS_TAG_MUSIC_NAME);
    ++*static_cast<std::atomic<int>*>(user);
}

TEST_F(EngineConcurrency, DspMayCallTheEngineWhileOthersChangeItsChannel) {
    auto capture = InitCapture(100);
    ASSERT_TRUE(capture);
    capture->record = false;
    const std::vector<uint8_t> module = Padded(WriteModule({"Curious", 2, 16, 3, -1, 100}));
    const HMUSIC music =
        BASS_MusicLoad(TRUE, module.data(), 0, DWORD(module.size()), BASS_MUSIC_LOOP, 0);
    std::atomic<int> calls{0};
    ASSERT_NE(BASS_ChannelSetDSP(music, CuriousDsp, &calls, 0), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    // Adding DSPs and restarting both wait for the mixer's render of this music,
    // which is inside the callback above; neither may hold what it needs.
    std::atomic<int> ignored{0};
    for (int i = 0; i < 200 && calls < 100; ++i) {
        BASS_ChannelSetDSP(music, CuriousDsp, &ignored, -1);
        BASS_ChannelPlay(music, i % 10 == 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(calls.load(), 0);
    EXPECT_TRUE(BASS_MusicFree(music));
}

TEST_F(EngineConcurrency, FreeWhileAnotherThreadLoadsAndPlays) {
    const std::vector<uint8_t> module = Padded(WriteModule({"Race", 1, 16, 3, -1, 100}));
    for (int round = 0; round < 10; ++round) {
        ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
        std::atomic<bool> stop{false};
        std::thread worker([&] {
            while (!stop) {
                const HMUSIC music =
                    BASS_MusicLoad(TRUE, module.data(), 0, DWORD(module.size()), kPlayerFlags, 0);
                if (music == 0) {
                    // After Free every load fails with the init error.
                    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
                    return;
                }
                BASS_ChannelPlay(music, FALSE);
                BASS_ChannelIsActive(music);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + round));
        EXPECT_TRUE(BASS_Free());
        stop = true;
        worker.join();
    }
}

} // namespace
} // namespace sonvale::test
