// libFuzzer target: a module from the network down the engine's own path, as
// the player takes it. The bytes fill a 1 MiB track buffer (zeros behind them),
// load with the player's flags, get the gain control, a few seconds are mixed,
// and the music is freed. Runs under AddressSanitizer and UndefinedBehaviorSanitizer.
#include "EngineRender.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bench::EngineRenderer engine;
    static std::vector<uint8_t> track(bench::kTrackBufferSize);
    if (!engine.Ready()) {
        std::fprintf(stderr, "the engine did not start\n");
        std::abort();
    }
    if (size > track.size()) {
        return -1; // the player never gets more than its buffer holds
    }
    std::copy(data, data + size, track.begin());
    std::fill(track.begin() + size, track.end(), 0);
    const HMUSIC music = engine.Load(track);
    if (music == 0) {
        // A refusal is fine; any other failure than these is a fault of ours.
        const int error = BASS_ErrorGetCode();
        if (error != BASS_ERROR_FILEFORM && error != BASS_ERROR_MEM) {
            std::fprintf(stderr, "load failed with error %d\n", error);
            std::abort();
        }
        return 0;
    }
    BASS_ChannelGetTags(music, BASS_TAG_MUSIC_NAME);
    BASS_ChannelPlay(music, FALSE);
    // About three seconds, or less once the song has ended.
    for (uint64_t mixed = 0; mixed < 3 * 44100 / bench::kBlockFrames && BASS_ChannelIsActive(music);
         mixed += 16) {
        engine.Mix(16);
    }
    BASS_MusicFree(music);
    return 0;
}
