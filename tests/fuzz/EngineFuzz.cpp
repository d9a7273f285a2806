// libFuzzer target: a module from the network down the engine's own path, as
// the player takes it. The bytes fill a 1 MiB track buffer (zeros behind them),
// load with the player's flags, get the gain control, a few seconds are mixed,
// and the music is freed. Runs under AddressSanitizer and UndefinedBehaviorSanitizer.
#include "Agc.h"
#include "AudioEngine.h"
#include "EngineTesting.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kBlockFrames = 1024;
constexpr uint64_t kSeconds = 3;
constexpr size_t kTrackBufferSize = 0x100000;
constexpr DWORD kPlayerFlags = 0x880410;

// Takes every block as soon as it is mixed. The mixer asks for none while
// nothing plays.
class Device final : public sonvale::audio::OutputDevice {
  public:
    uint32_t BlockFrames() const override { return kBlockFrames; }
    int16_t* NextBuffer() override { return stop ? nullptr : buffer.data(); }
    void Submit(int16_t*) override { frames += kBlockFrames; }
    uint64_t PlayedFrames() const override { return frames; }
    void Interrupt() override { stop = true; }
    std::atomic<uint64_t> frames{0};

  private:
    std::vector<int16_t> buffer = std::vector<int16_t>(kBlockFrames * 2); // mixing thread
    std::atomic<bool> stop{false};
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
    const uint64_t end = device->frames + kSeconds * 44100;
    while (device->frames < end && BASS_ChannelIsActive(music)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    BASS_MusicFree(music);
    return 0;
}
