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
    ~Music();
    Music(const Music&) = delete;
    Music& operator=(const Music&) = delete;

    // The title in the ANSI code page, empty if the module has none. Fixed at load.
    const std::string& Title() const { return title; }

    // Caller holds renderLock. May allocate (not on the mixing thread).
    void AddDsp(HDSP dsp, DSPPROC* proc, void* user, int priority);
    // Caller holds renderLock: back to the first row, not ended any more.
    void Rewind();

    // Mixing thread, renderLock held: decodes the next `frames` frames, runs the
    // DSP chain on them, then adds them to `mix` at the channel volume, ramped
    // from the last block's volume. `blockStart` is the output frame at which
    // this block will be heard; when the song ends inside it, endFrame is set.
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
    // Atomic: written under renderLock (mixer at the song's end, Rewind), read
    // anywhere. endFrame is valid once ended is seen true (release/acquire).
    std::atomic<bool> ended{false};
    std::atomic<uint64_t> endFrame{0};

  private:
    Music() = default;

    // renderLock held: decodes up to `frames` frames into `block` and runs the
    // DSP chain on them; returns the frames decoded, 0 once the song has ended.
    size_t Decode(HCHANNEL channel, uint32_t frames, uint64_t blockStart);
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
    std::vector<int16_t> block; // renderLock; one block, allocated at load
    float appliedVolume = 1.0f; // renderLock; where the next ramp starts
    bool rendered = false;      // renderLock; no ramp into the very first block
};

} // namespace sonvale::audio
