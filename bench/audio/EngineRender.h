#pragma once
// For the benchmarks: the audio engine and libopenmpt rendering modules as fast
// as they can, each timed by the CPU time of the thread that does the work, so
// that a busy machine's other programs count as little as possible. The engine's
// fuzz target drives the engine the same way, natively, without the timing.

#include "AudioEngine.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

constexpr uint32_t kBlockFrames = 1024;
constexpr size_t kTrackBufferSize = 0x100000;
// BASS_SAMPLE_SOFTWARE | BASS_MUSIC_RAMPS | BASS_MUSIC_STOPBACK | BASS_MUSIC_SINCINTER
constexpr DWORD kPlayerFlags = 0x880410;

std::vector<uint8_t> ReadModule(const char* path);
// The module at the start of a track buffer of zeros, as the player hands it over.
std::vector<uint8_t> Padded(const std::vector<uint8_t>& module);

// Frames of audio the module gives with the player's settings.
uint64_t ModuleFrames(const std::vector<uint8_t>& module);

#ifdef _WIN32
// CPU seconds (user and kernel) that `thread` has used so far.
double ThreadCpuSeconds(HANDLE thread);

// libopenmpt called by hand, set up as the engine sets it up for the player's
// flags: renders each module of `modules` to its end, with the gain control's
// DSP on every block if `withDsp`; returns this thread's CPU seconds for the
// rendering alone (not the decoders' creation).
double RenderDirect(const std::vector<const std::vector<uint8_t>*>& modules, bool withDsp);
#endif

// The engine started on a device of its own that hands out a block only when
// asked and takes it at once: between two calls of Mix the mixing thread
// waits, so its CPU time is the mixing asked for and nothing else.
class EngineRenderer {
  public:
    EngineRenderer();
    ~EngineRenderer();
    EngineRenderer(const EngineRenderer&) = delete;
    EngineRenderer& operator=(const EngineRenderer&) = delete;

    bool Ready() const { return device != nullptr; }
    // Loads a track buffer as the player does (flags, the gain control's DSP,
    // volume 0.5); BASS_ChannelPlay starts it at the next block. 0 on failure.
    HMUSIC Load(const std::vector<uint8_t>& trackBuffer);
    // Mixes `blocks` blocks of whatever plays, then lets the mixing thread wait.
    void Mix(uint64_t blocks);
#ifdef _WIN32
    // CPU seconds the mixing thread has used so far. The mixer asks for its first
    // block only once a music plays: before that, this waits.
    double MixerCpuSeconds();
#endif

    class Device;

  private:
    Device* device = nullptr; // owned by the engine while it runs
};

// Blocks that hold `frames` frames and one more, in which a music that ends
// exactly on a block's end notices it.
uint64_t BlocksFor(uint64_t frames);

} // namespace bench
