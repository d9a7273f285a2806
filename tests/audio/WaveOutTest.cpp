// The engine on the real waveOut device. Under Wine the run's own sound server
// plays it at real pace and records what it heard to a file (raw 16-bit stereo),
// which the tests read back; its path is in SONVALE_CAPTURE.

#include "ApiHook.h"
#include "EngineTestSupport.h"

#include <mmsystem.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

namespace sonvale::test {
namespace {

class WaveOut : public AudioEngineTest {
  protected:
    void SetUp() override {
        AudioEngineTest::SetUp();
        const char* unixPath = std::getenv("SONVALE_CAPTURE");
        ASSERT_NE(unixPath, nullptr) << "SONVALE_CAPTURE is not set";
        capture = std::string("Z:") + unixPath; // Wine's drive for the Unix root
        ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
        startBytes = Heard().size() * 2;
    }

    // What was written to the capture file since SetUp, from sample `from` on.
    std::vector<int16_t> Heard(size_t from = 0) const {
        std::ifstream in(capture, std::ios::binary | std::ios::ate);
        const size_t end = static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0));
        const size_t at = startBytes + 2 * from;
        std::vector<int16_t> samples(end > at ? (end - at) / 2 : 0);
        in.seekg(static_cast<std::streamoff>(at));
        in.read(reinterpret_cast<char*>(samples.data()),
                static_cast<std::streamsize>(samples.size() * 2));
        return samples;
    }

    // Plays until the channel reports stopped; returns the frames heard by then.
    size_t PlayToEnd(HMUSIC music, double timeoutSeconds = 30) {
        EXPECT_TRUE(BASS_ChannelPlay(music, FALSE));
        EXPECT_TRUE(WaitUntil([&] { return BASS_ChannelIsActive(music) == 0; }, timeoutSeconds));
        return Heard().size() / 2;
    }

    std::string capture;
    size_t startBytes = 0;
};

const char kMario[] = "Z:\\usr\\share\\games\\bomberclone\\music\\mario_is_a_weenie.xm";

// The real module cut to its first order (the song length at byte 64 of an XM):
// real instruments and effects in 8.57 s, by libopenmpt's reckoning.
std::vector<uint8_t> FirstOrderOfMario() {
    std::ifstream in(kMario, std::ios::binary);
    std::vector<uint8_t> module(std::istreambuf_iterator<char>(in), {});
    if (module.size() > 66) {
        module[64] = 1;
        module[65] = 0;
    }
    return module;
}

TEST_F(WaveOut, RealModulePlaysToItsEndAndStopsOnlyOnceItIsHeard) {
    const HMUSIC music = LoadPadded(FirstOrderOfMario());
    ASSERT_NE(music, 0u) << BASS_ErrorGetCode();
    const size_t framesAtStop = PlayToEnd(music);
    ASSERT_TRUE(BASS_Free());
    Sleep(300); // what the server still held when the channel stopped reaches the file
    const std::vector<int16_t> heard = Heard();
    const Extent sound = SoundExtent(heard);
    EXPECT_GT(Peak(heard), 4000); // music, not silence
    // Longer only by the silence Wine fills in should the machine be too busy to keep up.
    EXPECT_GT(sound.Frames() / 44100.0, 8.568 - 0.5);
    EXPECT_LT(sound.Frames() / 44100.0, 8.568 + 5.0);
    // ...and all of it had been played when the channel said stopped (the file is
    // written at real pace, so its length then is the wall clock, up to the 20 ms
    // of the capture's own latency: 50 ms allowed, a fifth of the engine's ring).
    EXPECT_LE(sound.end, framesAtStop + 2205);
}

// The engine's own calls to the system go through this executable's import
// table: a hook there stands in for a failing device. This one keeps the next few
// buffers without ever handing them back, then refuses every one (unplugged, taken
// over by another program).
std::atomic<int> buffersToKeep{0};
MMRESULT WINAPI KeepThenRefuseWrite(HWAVEOUT, LPWAVEHDR, UINT) {
    return buffersToKeep.fetch_sub(1) > 0 ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
}

// Counts the waits of the mixing thread, the one that runs at highest priority.
std::atomic<int> mixerWaits{0};
DWORD WINAPI CountedWait(HANDLE handle, DWORD milliseconds) {
    if (GetThreadPriority(GetCurrentThread()) == THREAD_PRIORITY_HIGHEST) {
        ++mixerWaits;
    }
    return WaitForSingleObjectEx(handle, milliseconds, FALSE); // not hooked
}

TEST_F(WaveOut, RefusedOrKeptBuffersStillLetTheMusicEndOnTimeWithoutASpin) {
    constexpr int kAll = 1 << 30; // every device opens, takes its ring and never plays
    for (const int keep : {0, 3, kAll}) {
        const ModuleSpec spec{"Unplugged", keep == kAll ? 8 : 3, 16};
        const double length = spec.orders * spec.rows * 0.06; // 60 ms rows
        const HMUSIC music = LoadPadded(WriteModule(spec));
        buffersToKeep = keep;
        ImportHook writes("winmm.dll", "waveOutWrite", &KeepThenRefuseWrite);
        ImportHook waits("kernel32.dll", "WaitForSingleObject", &CountedWait);
        ASSERT_TRUE(writes.original && waits.original);
        mixerWaits = 0;
        const auto start = std::chrono::steady_clock::now();
        PlayToEnd(music, length + 5);
        const std::chrono::duration<double> played = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(Peak(Heard()), 0) << keep; // the hook took: nothing reached the ear
        // As long as it would have been heard (a kept buffer is given up on
        // after a second), not as long as it takes to decode.
        EXPECT_GT(played.count(), length - 0.1) << keep;
        EXPECT_LT(played.count(), length + 3) << keep;
        // One wait a block is 43 a second.
        EXPECT_LT(mixerWaits / played.count(), 200) << keep;
        // Such a device is tried less and less often (at 0, 2 and 5 s), not every second.
        EXPECT_TRUE(keep != kAll || kAll - buffersToKeep <= 4 * 10) << kAll - buffersToKeep;
        EXPECT_TRUE(BASS_MusicFree(music));
    }
}

// Devices lost (their writes refused, or their buffers kept and never handed
// back) for good, as an unplugged one is, while a fault lasts; devices opened
// afterwards work. Closes may fail meanwhile. The hooks call winmm's own
// functions, not this program's import table that they replace.
enum Fault { kWorks, kRefuses, kKeeps };
std::atomic<Fault> fault{kWorks};
std::atomic<bool> closeFails{false};
std::mutex deviceLock;
std::map<HWAVEOUT, Fault> lost;           // deviceLock, as the next four
std::map<LPWAVEHDR, HWAVEOUT> preparedOn; // the device each header was last prepared for
std::set<HWAVEOUT> unclosed;              // whose close failed
std::map<LPWAVEHDR, std::pair<HWAVEOUT, std::string>> kept; // by a lost device, as written
int overwritten = 0; // kept buffers written to while their device may still play them
size_t mostUnclosed = 0;
int handedOver = 0; // headers prepared for one device while another that may hold them is open

template <typename F> F Winmm(F, const char* name) {
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("winmm.dll"), name)));
}
MMRESULT WINAPI FaultyWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    std::unique_lock<std::mutex> hold(deviceLock);
    if (fault != kWorks) {
        lost.emplace(device, fault);
    }
    if (lost.count(device) && lost[device] == kKeeps) {
        kept[header] = {device, std::string(header->lpData, header->dwBufferLength)};
    }
    if (lost.count(device)) {
        return lost[device] == kRefuses ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
    }
    hold.unlock();
    return Winmm(&waveOutWrite, "waveOutWrite")(device, header, size);
}
MMRESULT WINAPI FaultyClose(HWAVEOUT device) {
    std::lock_guard<std::mutex> hold(deviceLock);
    for (auto k = kept.begin(); k != kept.end();) {
        const bool mine = k->second.first == device;
        overwritten += mine && k->second.second.compare(0, std::string::npos, k->first->lpData,
                                                        k->first->dwBufferLength) != 0;
        k = mine && !closeFails ? kept.erase(k) : std::next(k);
    }
    if (closeFails) {
        unclosed.insert(device);
        mostUnclosed = std::max(mostUnclosed, unclosed.size());
        return MMSYSERR_NOMEM;
    }
    unclosed.erase(device);
    lost.erase(device); // the handle may come back for another device
    return Winmm(&waveOutClose, "waveOutClose")(device);
}
MMRESULT WINAPI WatchedPrepare(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    std::lock_guard<std::mutex> hold(deviceLock);
    const auto last = preparedOn.find(header);
    handedOver +=
        last != preparedOn.end() && last->second != device && unclosed.count(last->second);
    preparedOn[header] = device;
    return Winmm(&waveOutPrepareHeader, "waveOutPrepareHeader")(device, header, size);
}

TEST_F(WaveOut, SoundComesBackWithTheDeviceEveryTime) {
    struct Phase {
        Fault fault;
        double seconds; // of the fault; for kWorks, the most it may take to hear sound again:
                        // twice the worst case, a retry 2 s on plus Wine's latency
        bool closeFails = false;
    };
    // A device that keeps its buffers is given up a second after its last return;
    // the next is tried a second later, then 2, 4... seconds after each that kept them.
    const std::vector<Phase> rows[] = {
        {{kRefuses, 2}, {kWorks, 5}, {kKeeps, 1.5}, {kWorks, 5}},
        // Three devices in turn keep their buffers and fail to close (lost at about
        // 1.2, 3.2 and 6.2 s); the fourth is tried at 10.2 s, 3.7 s after the fault.
        {{kKeeps, 6.5, true}, {kWorks, 8}},
    };
    ImportHook writes("winmm.dll", "waveOutWrite", &FaultyWrite);
    ImportHook closes("winmm.dll", "waveOutClose", &FaultyClose);
    ImportHook prepares("winmm.dll", "waveOutPrepareHeader", &WatchedPrepare);
    ASSERT_TRUE(writes.original && closes.original && prepares.original);
    for (size_t row = 0; row < std::size(rows); ++row) {
        BASS_Free(); // the first device opens through the hooks
        ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
        const HMUSIC music = LoadPadded(WriteModule({"Long", 64, 16})); // 61 s
        ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
        for (const Phase& phase : rows[row]) {
            const size_t from = Heard().size();
            fault = phase.fault;
            closeFails = phase.closeFails;
            if (phase.fault == kWorks) {
                // Sound again, looked for every 50 ms (what came since read anew each time).
                EXPECT_TRUE(WaitUntil([&] { return Sleep(50), Peak(Heard(from)) > 1000; },
                                      phase.seconds))
                    << "row " << row;
                continue;
            }
            Sleep(static_cast<DWORD>(phase.seconds * 1000));
            // Silent once what was queued before the fault has been heard.
            EXPECT_EQ(Peak(Heard(from + 44100)), 0) << "row " << row;
        }
        EXPECT_TRUE(BASS_MusicFree(music));
    }
    std::lock_guard<std::mutex> hold(deviceLock);
    EXPECT_EQ(handedOver, 0);
    EXPECT_EQ(overwritten, 0) << "mixed into a ring a lost device may still play";
    EXPECT_LE(mostUnclosed, 3u) << "devices left unclosed, each holding its ring";
    EXPECT_TRUE(unclosed.empty());
}

// The ring as the mixing thread writes it: its buffers, the most of them still
// queued at its first write after a wait, and the silent blocks it wrote before
// the first that holds sound. Mixing thread only until BASS_Free.
struct {
    LPWAVEHDR buffers[64];
    int seen, waits, wakes, mostAtWake, silentAhead;
    bool heard;
    DWORD blockFrames;
    decltype(&waveOutWrite) write;
} ring;

MMRESULT WINAPI RingWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    LPWAVEHDR* const end = ring.buffers + ring.seen;
    const bool allSeen = std::find(ring.buffers, end, header) != end; // once round the ring
    if (!allSeen && ring.seen < 64) {
        ring.buffers[ring.seen++] = header;
    }
    int queued = 0;
    for (int i = 0; i < ring.seen; ++i) {
        const DWORD flags = *static_cast<volatile DWORD*>(&ring.buffers[i]->dwFlags);
        queued += ring.buffers[i] != header && !(flags & WHDR_DONE);
    }
    if (allSeen && ring.waits != mixerWaits) {
        ++ring.wakes;
        ring.mostAtWake = std::max(ring.mostAtWake, queued);
    }
    ring.waits = mixerWaits;
    ring.blockFrames = header->dwBufferLength / 4;
    const int16_t* s = reinterpret_cast<const int16_t*>(header->lpData);
    ring.heard =
        ring.heard || std::any_of(s, s + 2 * ring.blockFrames, [](int16_t v) { return v; });
    ring.silentAhead += !ring.heard;
    return ring.write(device, header, size);
}

// What rides out a busy moment is the sound still queued when the mixer wakes to
// refill the ring; a wake that a loaded machine delays finds less, so the ring's
// margin is the most found. And what is queued ahead of a music delays it: one
// started a while after BASS_Init is the first thing the device gets.
TEST_F(WaveOut, RingHoldsAbout200msAtTheMixersWakeAndNoSilenceAheadOfTheFirstMusic) {
    ASSERT_TRUE(BASS_Free());
    ring = {};
    ImportHook writes("winmm.dll", "waveOutWrite", &RingWrite);
    ImportHook waits("kernel32.dll", "WaitForSingleObject", &CountedWait);
    ASSERT_TRUE((ring.write = writes.original) && waits.original);
    ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    Sleep(100); // as the player downloads its first track
    PlayToEnd(LoadPadded(WriteModule({"Margin", 2, 16})));
    ASSERT_TRUE(BASS_Free());
    EXPECT_EQ(ring.silentAhead, 0);
    EXPECT_GE(ring.wakes, 10); // of about 80 blocks: a margin read at enough wakes
    EXPECT_GE(ring.mostAtWake * ring.blockFrames / 44.1, 195)
        << ring.mostAtWake << " of " << ring.seen << " buffers of " << ring.blockFrames;
}

// ctest runs this one with PULSE_SERVER naming a server that is not there: Wine's
// only audio driver finds no output device at all.
TEST(NoSoundCard, DefaultDeviceFailsWithTheDeviceError) {
    if (!std::getenv("SONVALE_NO_SOUND_CARD")) {
        GTEST_SKIP() << "needs a machine without an output device";
    }
    EXPECT_FALSE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
}

} // namespace
} // namespace sonvale::test
