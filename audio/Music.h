#pragma once
// One loaded module: its decoder, its DSP chain and its volume.

#include "AudioEngine.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct openmpt_module;

namespace sonvale::audio {

class Music {
  public:
    // Decodes the module's header and samples from `data` (copied by the
    // decoder, so the caller may reuse it afterwards). On failure returns null
    // and sets `error`. May throw std::bad_alloc.
    static std::unique_ptr<Music> Load(const void* data, size_t size, DWORD flags, uint32_t rate,
                                       uint32_t blockFrames, int& error);
    // Loads a silent module of one empty pattern and lets it go: the decoder builds
    // its tables once a process, on its first module, and that took some 30 ms.
    static void WarmUp();
    ~Music();
    Music(const Music&) = delete;
    Music& operator=(const Music&) = delete;

    // The title in the ANSI code page, empty if the module has none. Fixed at load.
    const std::string& Title() const { return title; }

    // Caller holds renderLock. May allocate (not on the mixing thread).
    void AddDsp(HDSP dsp, DSPPROC* proc, void* user, int priority);
    // Caller holds renderLock: back to the first row, not ended any more.
    void Rewind();

    // Mixing thread, renderLock held: takes the next `frames` frames (decoding
    // a run of blocks ahead when none are left), runs the DSP chain on them,
    // then adds them to `mix` at the channel volume, ramped from the last
    // block's volume. `blockStart` is the output frame at which this block will
    // be heard; when the song ends inside it, ended and endFrame are set.
    void Render(HCHANNEL channel, float* mix, uint32_t frames, uint64_t blockStart);
    // As Render, for a music that plays alone: writes the block straight to
    // `out` as the 16-bit samples that adding it to a silent mix and converting
    // would give, and silence after the song's end; two passes over memory fewer.
    void RenderAlone(HCHANNEL channel, int16_t* out, uint32_t frames, uint64_t blockStart);

    // Serialises the decoder, the DSP chain and rendering: the mixing thread
    // holds it while it renders this music, so taking it waits out a render.
    // DSP callbacks run under it, so nobody takes the engine lock and then
    // this one.
    std::mutex renderLock;
    // renderLock: set by BASS_MusicFree; the mixer renders a removed music no more.
    bool removed = false;
    // Atomic: blocks for which the mixer has picked this music and not yet
    // finished with it. BASS_MusicFree waits for 0 before it lets the music go,
    // so that the music is never destroyed on the mixing thread.
    std::atomic<int> mixerPins{0};

    // Atomic: set by the interface threads, read by the mixing thread each block.
    std::atomic<float> volume{1.0f};
    // Atomic: set by BASS_ChannelPlay, read by the mixer and BASS_ChannelIsActive.
    std::atomic<bool> playing{false};
    // Atomic: written under renderLock (mixer as it hands out the song's end,
    // Rewind), read anywhere. endFrame is valid once ended is seen true (release/acquire).
    std::atomic<bool> ended{false};
    std::atomic<uint64_t> endFrame{0};

  private:
    Music() = default;

    // renderLock held: takes up to `frames` frames (at most a block), decoding a
    // run ahead when none are left, and runs the DSP chain on them; returns them
    // with their count in `got`, 0 (and null) once the song has ended.
    const int16_t* Decode(HCHANNEL channel, uint32_t frames, uint64_t blockStart, size_t& got);
    // renderLock held: this block's volume ramp (start, change a frame); returns its end.
    float RampVolume(uint32_t frames, float& start, float& step);

    struct Dsp {
        HDSP handle;
        DSPPROC* proc;
        void* user;
        int priority;
    };

    openmpt_module* module = nullptr; // renderLock
    uint32_t rate = 0;
    std::string title;
    std::vector<Dsp> dsps;      // renderLock
    // Decoded ahead in runs of this many blocks, all at once: a decode right
    // after the mixer wakes finds the decoder's tables and the module cold, and
    // that cost more than the decoding itself, so the fewer runs the better; the
    // mixer wakes for every block, and ten blocks (40 KiB) make up for that. The
    // DSP chain and the volume still see each block only as it is mixed, so a
    // change reaches the ear no later than the device's queue.
    static constexpr uint32_t kAheadBlocks = 10;
    std::vector<int16_t> ahead;  // renderLock; kAheadBlocks blocks, allocated at load
    size_t blockFrames = 0;      // fixed at load
    size_t decodedFrames = 0;    // renderLock; in `ahead` from the last run
    size_t handedFrames = 0;     // renderLock; of those, mixed already
    bool decodedToEnd = false;   // renderLock; the last run reached the song's end
    float appliedVolume = 1.0f; // renderLock; where the next ramp starts
    bool rendered = false;      // renderLock; no ramp into the very first block
};

} // namespace sonvale::audio
