// The audio engine against libopenmpt called directly, on the same modules in
// the same run:
//  - render throughput with the player's settings (sinc, ramping, the gain
//    control's DSP attached, volume 0.5): target ratio <= 1.05;
//  - load time of a module padded with zeros to 1 MiB against the bare module:
//    target ratio <= 1.1.

#include "Agc.h"
#include "AudioEngine.h"
#include "EngineTesting.h"

#include <libopenmpt/libopenmpt.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kPlayerFlags = 0x880410;
constexpr uint32_t kBlockFrames = 1024;
constexpr size_t kTrackBufferSize = 0x100000;

const char* const kModules[] = {
    "Z:\\usr\\share\\games\\bomberclone\\music\\mario_is_a_weenie.xm",
    "Z:\\usr\\share\\games\\bomberclone\\music\\cerror-bobmberclone.xm",
    "Z:\\usr\\share\\games\\tecnoballz\\musics\\high-score.mod",
    "Z:\\usr\\share\\games\\tecnoballz\\musics\\area4-game.mod",
};

// A device that takes every block at once: the engine mixes as fast as it can.
// It notes when each block was handed over, which times the end of a music
// without the latency of polling its activity.
class FlatOutOutput final : public sonvale::audio::OutputDevice {
  public:
    uint32_t BlockFrames() const override { return kBlockFrames; }
    int16_t* NextBuffer() override { return stop.load() ? nullptr : buffer.data(); }
    void Submit(int16_t*) override {
        const uint64_t n = blocks.load();
        if (n < submitted.size()) {
            submitted[n] = Clock::now();
        }
        blocks.store(n + 1);
    }
    uint64_t PlayedFrames() const override { return blocks.load() * kBlockFrames; }
    void Interrupt() override { stop = true; }

    uint64_t Blocks() const { return blocks.load(); }
    Clock::time_point SubmitTime(uint64_t block) const { return submitted.at(block); }

  private:
    std::vector<int16_t> buffer = std::vector<int16_t>(kBlockFrames * 2);
    std::vector<Clock::time_point> submitted = std::vector<Clock::time_point>(1 << 20);
    std::atomic<uint64_t> blocks{0};
    std::atomic<bool> stop{false};
};

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

std::vector<uint8_t> ReadModule(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> Padded(const std::vector<uint8_t>& module) {
    std::vector<uint8_t> buffer(kTrackBufferSize, 0);
    std::copy(module.begin(), module.end(), buffer.begin());
    return buffer;
}

// libopenmpt by hand, set up as the engine sets it up for the player's flags.
// Returns the seconds of audio rendered.
double RenderDirect(const std::vector<uint8_t>& module, bool withDsp) {
    const openmpt_module_initial_ctl ctls[] = {
        {"play.at_end", "stop"}, {"dither", "0"}, {nullptr, nullptr}};
    openmpt_module* m =
        openmpt_module_create_from_memory2(module.data(), module.size(), openmpt_log_func_silent,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, ctls);
    openmpt_module_set_repeat_count(m, 0);
    openmpt_module_set_render_param(m, OPENMPT_MODULE_RENDER_INTERPOLATIONFILTER_LENGTH, 8);
    openmpt_module_set_render_param(m, OPENMPT_MODULE_RENDER_VOLUMERAMPING_STRENGTH, -1);
    std::vector<int16_t> block(kBlockFrames * 2);
    uint64_t frames = 0;
    while (size_t got =
               openmpt_module_read_interleaved_stereo(m, 44100, kBlockFrames, block.data())) {
        if (withDsp) {
            AgcDspProc(0, 0, block.data(), DWORD(got * 4), nullptr);
        }
        frames += got;
    }
    openmpt_module_destroy(m);
    return frames / 44100.0;
}

// The engine with the player's flags and calls; the clock runs from Play until
// the block with the music's last frame has been mixed.
double RenderEngine(const std::vector<uint8_t>& padded, double audioSeconds) {
    // Started for each run only: between runs its mixing thread would spin on
    // silence and take the second core from the libopenmpt runs.
    auto output = std::make_unique<FlatOutOutput>();
    FlatOutOutput* device = output.get();
    sonvale::audio::InitWithOutput(std::move(output), 44100);
    const HMUSIC music =
        BASS_MusicLoad(TRUE, padded.data(), 0, DWORD(padded.size()), kPlayerFlags, 0);
    BASS_ChannelSetDSP(music, AgcDspProc, nullptr, 0);
    BASS_ChannelSetAttribute(music, BASS_ATTRIB_VOL, 0.5f);
    const auto start = Clock::now();
    const uint64_t firstBlock = device->Blocks();
    BASS_ChannelPlay(music, FALSE);
    while (BASS_ChannelIsActive(music) != BASS_ACTIVE_STOPPED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The music began in the block after the one being mixed at Play, at the latest.
    const uint64_t musicBlocks = uint64_t(std::ceil(audioSeconds * 44100 / kBlockFrames));
    const double seconds =
        std::chrono::duration<double>(device->SubmitTime(firstBlock + 1 + musicBlocks) - start)
            .count();
    BASS_MusicFree(music);
    BASS_Free();
    return seconds;
}

template <typename F> double Fastest(int runs, F work) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        work();
        best = std::min(best, Seconds(start));
    }
    return best;
}

} // namespace

int main() {
    double engineTotal = 0;
    double directTotal = 0;
    double bareTotal = 0;
    double audioTotal = 0;
    double paddedLoadTotal = 0;
    double bareLoadTotal = 0;
    for (const char* path : kModules) {
        const std::vector<uint8_t> module = ReadModule(path);
        if (module.empty()) {
            std::printf("missing module %s\n", path);
            return 1;
        }
        const std::vector<uint8_t> padded = Padded(module);
        const double audio = RenderDirect(module, false);
        double engine = 1e30;
        double direct = 1e30;
        double bare = 1e30;
        // Interleaved, best of five: both sides see the same machine.
        for (int run = 0; run < 5; ++run) {
            engine = std::min(engine, RenderEngine(padded, audio));
            direct = std::min(direct, Fastest(1, [&] { RenderDirect(module, true); }));
            bare = std::min(bare, Fastest(1, [&] { RenderDirect(module, false); }));
        }
        BASS_Init(0, 44100, 0, nullptr, nullptr);
        const double paddedLoad = Fastest(15, [&] {
            BASS_MusicFree(
                BASS_MusicLoad(TRUE, padded.data(), 0, DWORD(padded.size()), kPlayerFlags, 0));
        });
        const double bareLoad = Fastest(15, [&] {
            BASS_MusicFree(
                BASS_MusicLoad(TRUE, module.data(), 0, DWORD(module.size()), kPlayerFlags, 0));
        });
        BASS_Free();
        std::printf("%-32s %6.1f s audio: engine %.3f s, libopenmpt+dsp %.3f s (%.3f), "
                    "load padded %.2f ms, bare %.2f ms (%.3f)\n",
                    std::strrchr(path, '\\') + 1, audio, engine, direct, engine / direct,
                    paddedLoad * 1e3, bareLoad * 1e3, paddedLoad / bareLoad);
        engineTotal += engine;
        directTotal += direct;
        bareTotal += bare;
        audioTotal += audio;
        paddedLoadTotal += paddedLoad;
        bareLoadTotal += bareLoad;
    }
    const double renderRatio = engineTotal / directTotal;
    const double loadRatio = paddedLoadTotal / bareLoadTotal;
    std::printf(
        "engine render: %.3f x the time of libopenmpt with the same DSP (target <= 1.05): %s\n",
        renderRatio, renderRatio <= 1.05 ? "met" : "MISSED");
    std::printf("engine render: %.3f x the time of libopenmpt alone, no DSP\n",
                engineTotal / bareTotal);
    std::printf("engine render: %.0f x real time (sinc, ramping, gain control, volume 0.5)\n",
                audioTotal / engineTotal);
    std::printf("load 1 MiB padded: %.3f x the time of the bare module (target <= 1.1): %s\n",
                loadRatio, loadRatio <= 1.1 ? "met" : "MISSED");
    return renderRatio <= 1.05 && loadRatio <= 1.1 ? 0 : 1;
}
