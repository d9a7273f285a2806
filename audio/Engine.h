#pragma once
// The engine behind the BASS_* functions: the handle table, the output device
// and the mixing thread. One instance per process.
//
// Locks:
//   lifecycle          serialises Init and Free against each other; taken first;
//   Music::renderLock  one music's decoder, what it decoded ahead and its DSP
//                      chain (see Music.h);
//   lock               the handle table, the device pointer and the init state;
//                      held briefly, never while waiting on the device or on a
//                      music, and never by a DSP callback's caller;
//   startLock          the mixer's wait for the first music to play; taken alone.
// Nobody takes renderLock while holding lock: a DSP callback runs under
// renderLock and may call the engine's other functions, which take lock.
// Callers pin a music (shared_ptr copy; the mixer: Music::mixerPins) under lock,
// let go of it, then take renderLock.

#include "AudioEngine.h"
#include "Music.h"
#include "OutputDevice.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sonvale::audio {

class Engine {
  public:
    static Engine& Instance();

    // Each returns a BASS_ERROR_* code (BASS_OK on success). May throw
    // std::bad_alloc or std::system_error; the C entry points turn those into codes.
    int Init(std::unique_ptr<OutputDevice> output, uint32_t rate);
    int Free();
    int Load(const void* data, size_t size, DWORD flags, DWORD freq, HMUSIC& handle);
    int FreeMusic(HMUSIC handle);
    int SetDsp(DWORD handle, DSPPROC* proc, void* user, int priority, HDSP& dsp);
    int SetVolume(DWORD handle, float volume);
    int Play(DWORD handle, bool restart);
    int IsActive(DWORD handle, DWORD& activity);
    int Title(DWORD handle, const char*& title);
    bool Initialised();

  private:
    Engine() = default;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    static constexpr uint32_t kSlots = 256;
    static constexpr uint32_t kMaxGeneration = 0xFFFFFF;

    // A handle is (generation << 8) | slot. A slot's generation only grows, and a
    // slot whose generation is used up is retired, so no handle is ever reused.
    struct Slot {
        uint32_t generation = 0;
        // Shared so that a caller can let go of the table lock before it waits
        // for the music's renderLock; the table's reference is the owning one.
        std::shared_ptr<Music> music;
    };

    Music* Find(DWORD handle); // caller holds lock
    std::shared_ptr<Music> Pin(DWORD handle);
    void MixLoop(OutputDevice* device);
    void MixBlock(int16_t* out, uint32_t frames);
    void StartMixing();

    std::mutex lifecycle;
    std::mutex lock;
    // All guarded by lock; the table outlives Free so that old handles stay dead.
    Slot slots[kSlots];
    uint32_t nextSlot = 0;
    bool initialised = false;
    uint32_t initCount = 0; // tells a load that straddled a Free/Init apart
    uint32_t rate = 0;
    std::unique_ptr<OutputDevice> output; // set and cleared under lock and lifecycle
    std::thread mixer;                    // lifecycle

    // The mixer writes nothing to the device until the first music plays (or
    // Free): all it could write before is silence, and a music started behind a
    // full ring of silence would be heard a ring later.
    std::mutex startLock;
    std::condition_variable startSignal;
    bool mixing = false; // startLock

    // Mixing thread only; sized by Init so that mixing never allocates.
    std::vector<float> mix;
    std::vector<Music*> active;
    std::vector<HCHANNEL> activeHandles;
    uint64_t mixedFrames = 0;
};

} // namespace sonvale::audio
