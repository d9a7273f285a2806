// The audio engine against libopenmpt called directly, on the same modules in
// the same run:
//  - render cost with the player's settings (sinc, ramping, the gain control's
//    DSP attached, volume 0.5): target ratio <= 1.05;
//  - load time of a module padded with zeros to 1 MiB against the bare module:
//    target ratio <= 1.1.
// Every figure is the CPU time of the thread that does the work, over enough
// work to dwarf the 10 ms steps of the system's thread clock, taken in rounds
// that alternate the sides; the median of the rounds decides, and the range
// shows how much a busy machine moved it.

#include "AudioEngine.h"
#include "EngineRender.h"
#include "Spread.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using bench::Spread;
using bench::SpreadOf;

constexpr int kRounds = 11;
constexpr double kRenderSampleSeconds = 0.4;
constexpr double kLoadSampleSeconds = 0.25;
constexpr double kCalibrationSeconds = 0.2;

const char* const kModules[] = {
    "Z:\\usr\\share\\games\\bomberclone\\music\\mario_is_a_weenie.xm",
    "Z:\\usr\\share\\games\\bomberclone\\music\\cerror-bobmberclone.xm",
    "Z:\\usr\\share\\games\\tecnoballz\\musics\\high-score.mod",
    "Z:\\usr\\share\\games\\tecnoballz\\musics\\area4-game.mod",
};

struct Subject {
    const char* name;
    std::vector<uint8_t> module;
    std::vector<uint8_t> padded;
    uint64_t frames = 0;
    int renders = 1; // whole renders a sample
    int loads = 1;   // loads a sample
    // CPU seconds of one render or one load, one entry a round.
    std::vector<double> engine, direct, paddedLoad, bareLoad;
    bool engineLonger = false;
};

double EngineSample(bench::EngineRenderer& renderer, Subject& s) {
    std::vector<HMUSIC> musics;
    for (int i = 0; i < s.renders; ++i) {
        musics.push_back(renderer.Load(s.padded));
    }
    double start = 0;
    for (size_t i = 0; i < musics.size(); ++i) {
        BASS_ChannelPlay(musics[i], FALSE);
        if (i == 0) {
            start = renderer.MixerCpuSeconds(); // the mixer takes its first block once a music plays
        }
        renderer.Mix(bench::BlocksFor(s.frames));
    }
    const double cpu = renderer.MixerCpuSeconds() - start;
    for (HMUSIC music : musics) {
        // Still playing: the engine made more of it than libopenmpt did.
        s.engineLonger = s.engineLonger || BASS_ChannelIsActive(music) != BASS_ACTIVE_STOPPED;
        BASS_MusicFree(music);
    }
    return cpu / s.renders;
}

double DirectSample(const Subject& s) {
    const std::vector<const std::vector<uint8_t>*> modules(s.renders, &s.module);
    return bench::RenderDirect(modules, true) / s.renders;
}

double LoadSample(const Subject& s, const std::vector<uint8_t>& data) {
    const double start = bench::ThreadCpuSeconds(GetCurrentThread());
    for (int i = 0; i < s.loads; ++i) {
        BASS_MusicFree(
            BASS_MusicLoad(TRUE, data.data(), 0, DWORD(data.size()), bench::kPlayerFlags, 0));
    }
    return (bench::ThreadCpuSeconds(GetCurrentThread()) - start) / s.loads;
}

// Sizes the samples from the CPU time of a few passes of each kind of work (not
// wall time: on a busy machine that would make the samples too short).
void Calibrate(Subject& s) {
    s.frames = bench::ModuleFrames(s.module);
    const std::vector<const std::vector<uint8_t>*> one(1, &s.module);
    double cpu = 0;
    int renders = 0;
    for (; cpu < kCalibrationSeconds; ++renders) {
        cpu += bench::RenderDirect(one, true);
    }
    s.renders = std::max(1, int(std::ceil(kRenderSampleSeconds / (cpu / renders))));
    const double start = bench::ThreadCpuSeconds(GetCurrentThread());
    int loads = 0;
    for (; bench::ThreadCpuSeconds(GetCurrentThread()) - start < kCalibrationSeconds; ++loads) {
        BASS_MusicFree(BASS_MusicLoad(TRUE, s.padded.data(), 0, DWORD(s.padded.size()),
                                      bench::kPlayerFlags, 0));
    }
    const double perLoad = (bench::ThreadCpuSeconds(GetCurrentThread()) - start) / loads;
    s.loads = std::max(1, int(std::ceil(kLoadSampleSeconds / perLoad)));
}

// Each side right after the other, first one then the other in turn: a burst of
// load from elsewhere falls on a pair, and the median of the pairs sheds it.
void Round(bench::EngineRenderer& renderer, Subject& s, bool reversed) {
    if (reversed) {
        s.direct.push_back(DirectSample(s));
        s.engine.push_back(EngineSample(renderer, s));
        s.bareLoad.push_back(LoadSample(s, s.module));
        s.paddedLoad.push_back(LoadSample(s, s.padded));
    } else {
        s.engine.push_back(EngineSample(renderer, s));
        s.direct.push_back(DirectSample(s));
        s.paddedLoad.push_back(LoadSample(s, s.padded));
        s.bareLoad.push_back(LoadSample(s, s.module));
    }
}

std::vector<double> Ratios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        r.push_back(a[i] / b[i]);
    }
    return r;
}

// The ratio of the sums over all modules, one a round.
std::vector<double> TotalRatios(const std::vector<Subject>& subjects,
                                std::vector<double> Subject::*a, std::vector<double> Subject::*b) {
    std::vector<double> r;
    for (int round = 0; round < kRounds; ++round) {
        double sa = 0, sb = 0;
        for (const Subject& s : subjects) {
            sa += (s.*a)[round];
            sb += (s.*b)[round];
        }
        r.push_back(sa / sb);
    }
    return r;
}

std::string Figure(const Spread& s) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f (%.3f to %.3f)", s.median, s.low, s.high);
    return text;
}

} // namespace

int main() {
    bench::EngineRenderer renderer;
    if (!renderer.Ready()) {
        std::printf("engine bench: the engine did not start\n");
        return 1;
    }
    std::vector<Subject> subjects;
    for (const char* path : kModules) {
        Subject s;
        s.name = std::strrchr(path, '\\') + 1;
        s.module = bench::ReadModule(path);
        if (s.module.empty()) {
            std::printf("engine bench: missing module %s\n", path);
            return 1;
        }
        s.padded = bench::Padded(s.module);
        Calibrate(s);
        subjects.push_back(std::move(s));
    }
    for (int round = 0; round < kRounds; ++round) {
        for (Subject& s : subjects) {
            Round(renderer, s, round % 2 != 0);
        }
    }
    std::printf("CPU time of the working thread; median (range) of %d rounds\n", kRounds);
    double audio = 0;
    for (const Subject& s : subjects) {
        const double seconds = s.frames / 44100.0;
        audio += seconds;
        std::printf("%-26s %5.1f s audio, %2d renders a round: engine %.1f ms, libopenmpt+dsp "
                    "%.1f ms, engine/libopenmpt+dsp %s\n",
                    s.name, seconds, s.renders, SpreadOf(s.engine).median * 1e3,
                    SpreadOf(s.direct).median * 1e3, Figure(SpreadOf(Ratios(s.engine, s.direct))).c_str());
        std::printf("%-26s load padded %.3f ms, bare %.3f ms, %3d loads a round: padded/bare %s\n",
                    "", SpreadOf(s.paddedLoad).median * 1e3, SpreadOf(s.bareLoad).median * 1e3,
                    s.loads, Figure(SpreadOf(Ratios(s.paddedLoad, s.bareLoad))).c_str());
        if (s.engineLonger) {
            std::printf("%-26s the engine played on past libopenmpt's end\n", "");
        }
    }
    const Spread render = SpreadOf(TotalRatios(subjects, &Subject::engine, &Subject::direct));
    const Spread load = SpreadOf(TotalRatios(subjects, &Subject::paddedLoad, &Subject::bareLoad));
    double engineSeconds = 0;
    for (const Subject& s : subjects) {
        engineSeconds += SpreadOf(s.engine).median;
    }
    std::printf("engine render: %s x the CPU time of libopenmpt with the same DSP "
                "(target <= 1.05): %s\n",
                Figure(render).c_str(), render.median <= 1.05 ? "met" : "MISSED");
    std::printf("engine render: %.0f x real time (sinc, ramping, gain control, volume 0.5)\n",
                audio / engineSeconds);
    std::printf("load 1 MiB padded: %s x the CPU time of the bare module (target <= 1.1): %s\n",
                Figure(load).c_str(), load.median <= 1.1 ? "met" : "MISSED");
    // A missed target is a finding, not a failure to run.
    return 0;
}
