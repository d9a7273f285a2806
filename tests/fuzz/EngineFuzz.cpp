// libFuzzer target: a module from the network down the engine's own path, as
// the player takes it. The bytes fill a 1 MiB track buffer (zeros behind them),
// load with the player's flags, get the gain control, a few seconds are mixed,
// and the music is freed. Runs under AddressSanitizer and UndefinedBehaviorSanitizer.
#include "Agc.h"
#include "AudioEngine.h"
#include "EngineTesting.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

constexpr uint32_t kBlockFrames = 1024;
constexpr uint64_t kBlocks = 3 * 44100 / kBlockFrames; // about three seconds
constexpr size_t kTrackBufferSize = 0x100000;
constexpr DWORD kPlayerFlags = 0x880410;

// Takes a block whenever the fuzzer allows one, as fast as the mixer makes it.
// Once started the mixer never pauses: a device that took every block at once
// would have it mix silence at full speed between the inputs.
class Device final : public sonvale::audio::OutputDevice {
  public:
    uint32_t BlockFrames() const override { return kBlockFrames; }
    int16_t* NextBuffer() override {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return stop || allowed > 0; });
        if (stop) {
            return nullptr;
        }
        --allowed;
        return buffer.data();
    }
    void Submit(int16_t*) override {
        std::lock_guard<std::mutex> hold(lock);
        ++submitted;
        changed.notify_all();
    }
    uint64_t PlayedFrames() const override {
        std::lock_guard<std::mutex> hold(lock);
        return submitted * kBlockFrames;
    }
    void Interrupt() override {
        std::lock_guard<std::mutex> hold(lock);
        stop = true;
        changed.notify_all();
    }
    void Mix(uint64_t blocks) {
        std::unique_lock<std::mutex> hold(lock);
        const uint64_t until = submitted + blocks;
        allowed += blocks;
        changed.notify_all();
        changed.wait(hold, [&] { return submitted >= until; });
    }

  private:
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<int16_t> buffer = std::vector<int16_t>(kBlockFrames * 2);
    uint64_t allowed = 0;   // lock
    uint64_t submitted = 0; // lock
    bool stop = false;      // lock
};

Device* Start() {
    auto output = std::make_unique<Device>();
    Device* device = output.get();
    if (!sonvale::audio::InitWithOutput(std::move(output), 44100)) {
        std::fprintf(stderr, "the engine did not start\n");
        std::abort();
    }
    return device;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Device* const device = Start();
    static std::vector<uint8_t> track(kTrackBufferSize);
    if (size > track.size()) {
        return -1; // the player never gets more than its buffer holds
    }
    std::copy(data, data + size, track.begin());
    std::fill(track.begin() + size, track.end(), 0);
    const HMUSIC music = BASS_MusicLoad(TRUE, track.data(), 0, kTrackBufferSize, kPlayerFlags, 0);
    if (music == 0) {
        // A refusal is fine; any other failure than these is a fault of ours.
        const int error = BASS_ErrorGetCode();
        if (error != BASS_ERROR_FILEFORM && error != BASS_ERROR_MEM) {
            std::fprintf(stderr, "load failed with error %d\n", error);
            std::abort();
        }
        return 0;
    }
    BASS_ChannelSetDSP(music, AgcDspProc, nullptr, 0);
    BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, 0.5f);
    BASS_ChannelGetTags(music, BASS_TAG_MUSIC_NAME);
    BASS_ChannelPlay(music, FALSE);
    // A few seconds, or less once the song has ended.
    for (uint64_t mixed = 0; mixed < kBlocks && BASS_ChannelIsActive(music); mixed += 16) {
        device->Mix(16);
    }
    BASS_MusicFree(music);
    return 0;
}
