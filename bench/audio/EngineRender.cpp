#include "EngineRender.h"

#include "Agc.h"
#include "AudioEngine.h"
#include "EngineTesting.h"

#include <libopenmpt/libopenmpt.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>

namespace bench {

std::vector<uint8_t> ReadModule(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> Padded(const std::vector<uint8_t>& module) {
    std::vector<uint8_t> buffer(kTrackBufferSize, 0);
    std::copy_n(module.begin(), std::min(module.size(), buffer.size()), buffer.begin());
    return buffer;
}

uint64_t BlocksFor(uint64_t frames) {
    return (frames + kBlockFrames - 1) / kBlockFrames + 1;
}

namespace {

openmpt_module* CreateDirect(const std::vector<uint8_t>& module) {
    const openmpt_module_initial_ctl ctls[] = {
        {"play.at_end", "stop"}, {"dither", "0"}, {nullptr, nullptr}};
    openmpt_module* m =
        openmpt_module_create_from_memory2(module.data(), module.size(), openmpt_log_func_silent,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, ctls);
    if (m != nullptr) {
        openmpt_module_set_repeat_count(m, 0);
        openmpt_module_set_render_param(m, OPENMPT_MODULE_RENDER_INTERPOLATIONFILTER_LENGTH, 8);
        openmpt_module_set_render_param(m, OPENMPT_MODULE_RENDER_VOLUMERAMPING_STRENGTH, -1);
    }
    return m;
}

uint64_t RenderToEnd(openmpt_module* m, bool withDsp) {
    std::vector<int16_t> block(kBlockFrames * 2);
    uint64_t frames = 0;
    while (size_t got =
               openmpt_module_read_interleaved_stereo(m, 44100, kBlockFrames, block.data())) {
        if (withDsp) {
            AgcDspProc(0, 0, block.data(), DWORD(got * 4), nullptr);
        }
        frames += got;
    }
    return frames;
}

} // namespace

uint64_t ModuleFrames(const std::vector<uint8_t>& module) {
    openmpt_module* m = CreateDirect(module);
    if (m == nullptr) {
        return 0;
    }
    const uint64_t frames = RenderToEnd(m, false);
    openmpt_module_destroy(m);
    return frames;
}

#ifdef _WIN32
double ThreadCpuSeconds(HANDLE thread) {
    FILETIME created, ended, kernel, user;
    if (!GetThreadTimes(thread, &created, &ended, &kernel, &user)) {
        return 0;
    }
    auto seconds = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

double RenderDirect(const std::vector<const std::vector<uint8_t>*>& modules, bool withDsp) {
    std::vector<openmpt_module*> created;
    for (const std::vector<uint8_t>* module : modules) {
        if (openmpt_module* m = CreateDirect(*module)) {
            created.push_back(m);
        }
    }
    const double start = ThreadCpuSeconds(GetCurrentThread());
    for (openmpt_module* m : created) {
        RenderToEnd(m, withDsp);
    }
    const double cpu = ThreadCpuSeconds(GetCurrentThread()) - start;
    for (openmpt_module* m : created) {
        openmpt_module_destroy(m);
    }
    return cpu;
}
#endif

// Hands the mixing thread a block each time the caller allows one, and on
// Windows remembers which thread mixes. Once started the mixer never pauses
// otherwise: a device that took every block at once would have it mix at full speed.
class EngineRenderer::Device final : public sonvale::audio::OutputDevice {
  public:
#ifdef _WIN32
    ~Device() override {
        if (mixer != nullptr) {
            CloseHandle(mixer);
        }
    }
    double MixerCpuSeconds() {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return mixer != nullptr; });
        return ThreadCpuSeconds(mixer);
    }
#endif
    uint32_t BlockFrames() const override { return kBlockFrames; }
    int16_t* NextBuffer() override {
        std::unique_lock<std::mutex> hold(lock);
#ifdef _WIN32
        if (mixer == nullptr) {
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mixer,
                            THREAD_QUERY_INFORMATION, FALSE, 0);
            changed.notify_all();
        }
#endif
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
        // Only the last block wakes the benchmark: a wake-up a block would
        // cost the mixing thread a system call each time.
        if (allowed == 0) {
            changed.notify_all();
        }
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
        allowed = blocks;
        changed.notify_all();
        changed.wait(hold, [&] { return submitted >= until; });
    }

  private:
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<int16_t> buffer = std::vector<int16_t>(kBlockFrames * 2);
#ifdef _WIN32
    HANDLE mixer = nullptr; // lock
#endif
    uint64_t allowed = 0;   // lock
    uint64_t submitted = 0; // lock
    bool stop = false;      // lock
};

EngineRenderer::EngineRenderer() {
    auto output = std::make_unique<Device>();
    Device* raw = output.get();
    if (sonvale::audio::InitWithOutput(std::move(output), 44100)) {
        device = raw;
    }
}

EngineRenderer::~EngineRenderer() {
    if (device != nullptr) {
        BASS_Free();
    }
}

HMUSIC EngineRenderer::Load(const std::vector<uint8_t>& trackBuffer) {
    const HMUSIC music = BASS_MusicLoad(TRUE, trackBuffer.data(), 0, DWORD(trackBuffer.size()),
                                        kPlayerFlags, 0);
    if (music != 0) {
        BASS_ChannelSetDSP(music, AgcDspProc, nullptr, 0);
        BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, 0.5f);
    }
    return music;
}

void EngineRenderer::Mix(uint64_t blocks) {
    device->Mix(blocks);
}

#ifdef _WIN32
double EngineRenderer::MixerCpuSeconds() {
    return device->MixerCpuSeconds();
}
#endif

} // namespace bench
