#include "Engine.h"

#include "Pcm.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace sonvale::audio {
namespace {

constexpr DWORD kKnownLoadFlags = BASS_SAMPLE_LOOP | BASS_SAMPLE_SOFTWARE | BASS_MUSIC_RAMPS |
                                  BASS_MUSIC_STOPBACK | BASS_MUSIC_SINCINTER;

std::atomic<uint32_t> lastDsp{0};

HDSP NewDspHandle() {
    HDSP h;
    do {
        h = lastDsp.fetch_add(1, std::memory_order_relaxed) + 1;
    } while (h == 0);
    return h;
}

} // namespace

Engine& Engine::Instance() {
    // Never destroyed: a program that ends without BASS_Free would otherwise
    // destroy a running mixing thread's std::thread at exit, which terminates.
    static Engine* engine = new Engine();
    return *engine;
}

bool Engine::Initialised() {
    std::lock_guard<std::mutex> hold(lock);
    return initialised;
}

int Engine::Init(std::unique_ptr<OutputDevice> device, uint32_t outputRate) {
    std::lock_guard<std::mutex> life(lifecycle);
    if (Initialised()) {
        return BASS_ERROR_ALREADY;
    }
    const uint32_t frames = device->BlockFrames();
    mix.assign(static_cast<size_t>(frames) * 2, 0.0f);
    active.assign(kSlots, nullptr);
    activeHandles.assign(kSlots, 0);
    mixedFrames = 0;
    {
        std::lock_guard<std::mutex> hold(startLock);
        mixing = false;
    }
    OutputDevice* raw = device.get();
    {
        std::lock_guard<std::mutex> hold(lock);
        output = std::move(device);
        rate = outputRate;
        initialised = true;
        ++initCount;
    }
    try {
        mixer = std::thread(&Engine::MixLoop, this, raw);
    } catch (...) {
        std::lock_guard<std::mutex> hold(lock);
        initialised = false;
        output.reset();
        throw;
    }
    return BASS_OK;
}

int Engine::Free() {
    std::lock_guard<std::mutex> life(lifecycle);
    std::unique_ptr<OutputDevice> device;
    std::vector<std::shared_ptr<Music>> musics;
    musics.reserve(kSlots);
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!initialised) {
            return BASS_ERROR_INIT;
        }
        initialised = false;
        for (Slot& s : slots) {
            if (s.music) {
                musics.push_back(std::move(s.music));
            }
        }
        device = std::move(output);
    }
    // The mixer may be waiting on the device: wake it, then wait for it to end
    // before the musics and the device go away.
    device->Interrupt();
    StartMixing();
    mixer.join();
    musics.clear();
    device.reset();
    return BASS_OK;
}

Music* Engine::Find(DWORD handle) {
    const uint32_t index = handle & 0xFF;
    const uint32_t generation = handle >> 8;
    if (handle == 0 || !initialised) {
        return nullptr;
    }
    const Slot& s = slots[index];
    return s.music && s.generation == generation ? s.music.get() : nullptr;
}

std::shared_ptr<Music> Engine::Pin(DWORD handle) {
    std::lock_guard<std::mutex> hold(lock);
    return Find(handle) ? slots[handle & 0xFF].music : nullptr;
}

int Engine::Load(const void* data, size_t size, DWORD flags, DWORD freq, HMUSIC& handle) {
    handle = 0;
    if ((flags & ~kKnownLoadFlags) != 0) {
        return BASS_ERROR_ILLPARAM;
    }
    // Repeating and stopping at the song's backward jump cannot both be had.
    if ((flags & BASS_SAMPLE_LOOP) && (flags & BASS_MUSIC_STOPBACK)) {
        return BASS_ERROR_ILLPARAM;
    }
    uint32_t outputRate;
    uint32_t frames;
    uint32_t epoch;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!initialised) {
            return BASS_ERROR_INIT;
        }
        outputRate = rate;
        frames = output->BlockFrames();
        epoch = initCount;
    }
    if (freq != 0 && freq != outputRate) {
        return BASS_ERROR_ILLPARAM;
    }
    // Decoding takes a while: it runs without the lock.
    int error = BASS_OK;
    std::shared_ptr<Music> music = Music::Load(data, size, flags, outputRate, frames, error);
    if (!music) {
        return error;
    }
    std::lock_guard<std::mutex> hold(lock);
    if (!initialised || epoch != initCount) {
        return BASS_ERROR_INIT; // Free came first; the music dies here, unseen
    }
    for (uint32_t tried = 0; tried < kSlots; ++tried) {
        const uint32_t index = (nextSlot + tried) % kSlots;
        Slot& s = slots[index];
        if (s.music || s.generation >= kMaxGeneration) {
            continue;
        }
        ++s.generation;
        s.music = std::move(music);
        nextSlot = (index + 1) % kSlots;
        handle = (s.generation << 8) | index;
        return BASS_OK;
    }
    return BASS_ERROR_MEM;
}

int Engine::FreeMusic(HMUSIC handle) {
    std::shared_ptr<Music> music;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!Find(handle)) {
            return BASS_ERROR_HANDLE;
        }
        music = std::move(slots[handle & 0xFF].music);
    }
    // Waits out a render that has already begun; after this no callback runs.
    {
        std::lock_guard<std::mutex> rendering(music->renderLock);
        music->removed = true;
    }
    // The mixer may still hold a pin for this block: at most until it reaches
    // the music, sees it removed and lets go.
    while (music->mixerPins.load(std::memory_order_acquire) != 0) {
        std::this_thread::yield();
    }
    return BASS_OK;
}

int Engine::SetDsp(DWORD handle, DSPPROC* proc, void* user, int priority, HDSP& dsp) {
    dsp = 0;
    std::shared_ptr<Music> music = Pin(handle);
    if (!music) {
        return BASS_ERROR_HANDLE;
    }
    if (!proc) {
        return BASS_ERROR_ILLPARAM;
    }
    std::lock_guard<std::mutex> rendering(music->renderLock);
    if (music->removed) {
        return BASS_ERROR_HANDLE; // freed while we waited
    }
    const HDSP h = NewDspHandle();
    music->AddDsp(h, proc, user, priority);
    dsp = h;
    return BASS_OK;
}

int Engine::SetVolume(DWORD handle, float volume) {
    std::lock_guard<std::mutex> hold(lock);
    Music* music = Find(handle);
    if (!music) {
        return BASS_ERROR_HANDLE;
    }
    if (std::isnan(volume)) {
        return BASS_ERROR_ILLPARAM;
    }
    music->volume.store(std::clamp(volume, 0.0f, 1.0f), std::memory_order_relaxed);
    return BASS_OK;
}

int Engine::Play(DWORD handle, bool restart) {
    std::shared_ptr<Music> music = Pin(handle);
    if (!music) {
        return BASS_ERROR_HANDLE;
    }
    if (restart || music->ended.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> rendering(music->renderLock);
        if (music->removed) {
            return BASS_ERROR_HANDLE;
        }
        music->Rewind();
    }
    music->playing.store(true, std::memory_order_release);
    StartMixing();
    return BASS_OK;
}

int Engine::IsActive(DWORD handle, DWORD& activity) {
    activity = BASS_ACTIVE_STOPPED;
    std::lock_guard<std::mutex> hold(lock);
    Music* music = Find(handle);
    if (!music) {
        return BASS_ERROR_HANDLE;
    }
    if (!music->playing.load(std::memory_order_acquire)) {
        return BASS_OK;
    }
    // Ended means decoded to the end; stopped only once the device has played
    // the last of it.
    if (music->ended.load(std::memory_order_acquire) &&
        output->PlayedFrames() >= music->endFrame.load(std::memory_order_relaxed)) {
        return BASS_OK;
    }
    activity = BASS_ACTIVE_PLAYING;
    return BASS_OK;
}

int Engine::Title(DWORD handle, const char*& title) {
    title = nullptr;
    std::lock_guard<std::mutex> hold(lock);
    Music* music = Find(handle);
    if (!music) {
        return BASS_ERROR_HANDLE;
    }
    if (music->Title().empty()) {
        return BASS_ERROR_NOTAVAIL;
    }
    title = music->Title().c_str();
    return BASS_OK;
}

void Engine::StartMixing() {
    std::lock_guard<std::mutex> hold(startLock);
    mixing = true;
    startSignal.notify_one();
}

void Engine::MixLoop(OutputDevice* device) {
    const uint32_t frames = device->BlockFrames();
    // Nothing to mix yet: the first track's load need not wait for the decoder's tables.
    Music::WarmUp();
    {
        std::unique_lock<std::mutex> hold(startLock);
        startSignal.wait(hold, [this] { return mixing; });
    }
    // Nothing in here is expected to throw; should it, the sound stops rather
    // than the program.
    try {
        while (int16_t* out = device->NextBuffer()) {
            MixBlock(out, frames);
            device->Submit(out);
        }
    } catch (...) {
    }
}

void Engine::MixBlock(int16_t* out, uint32_t frames) {
    size_t count = 0;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (uint32_t i = 0; i < kSlots; ++i) {
            Music* m = slots[i].music.get();
            if (m && m->playing.load(std::memory_order_relaxed) &&
                !m->ended.load(std::memory_order_relaxed)) {
                // A pin, not a shared_ptr copy: dropping the last copy here
                // would destroy the music on this thread.
                m->mixerPins.fetch_add(1, std::memory_order_relaxed);
                active[count] = m;
                activeHandles[count] = (slots[i].generation << 8) | i;
                ++count;
            }
        }
    }
    const size_t samples = static_cast<size_t>(frames) * 2;
    if (count == 1) {
        // The usual case, one music: straight into the device's buffer.
        Music* m = active[0];
        {
            std::lock_guard<std::mutex> rendering(m->renderLock);
            if (m->removed) {
                std::fill(out, out + samples, int16_t{0});
            } else {
                m->RenderAlone(activeHandles[0], out, frames, mixedFrames);
            }
        }
        m->mixerPins.fetch_sub(1, std::memory_order_release);
    } else {
        std::fill(mix.begin(), mix.end(), 0.0f);
        for (size_t i = 0; i < count; ++i) {
            Music* m = active[i];
            {
                std::lock_guard<std::mutex> rendering(m->renderLock);
                if (!m->removed) {
                    m->Render(activeHandles[i], mix.data(), frames, mixedFrames);
                }
            }
            m->mixerPins.fetch_sub(1, std::memory_order_release);
        }
        ToPcm16(mix.data(), out, samples);
    }
    mixedFrames += frames;
}

} // namespace sonvale::audio
