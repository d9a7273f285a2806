#include "Music.h"

#include "AnsiText.h"
#include "Pcm.h"

#include <libopenmpt/libopenmpt.h>

#include <algorithm>

// Older releases lack upstream's fixes of faults in the loaders this build keeps.
static_assert(OPENMPT_API_VERSION_AT_LEAST(0, 7, 13), "libopenmpt 0.7.13 or newer");

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonvale::audio {
namespace {

// libopenmpt's render parameter values.
constexpr int32_t kSincTaps = 8;
constexpr int32_t kLinearTaps = 2;
constexpr int32_t kDefaultRamping = -1;
constexpr int32_t kNoRamping = 0;

// Zeros kept after the last non-zero byte: a module's own data may end in
// zeros (a silent sample tail), and these stay part of it.
constexpr size_t kZeroTail = 1024;

// The player hands over its whole 1 MiB buffer, the module followed by zeros.
// Some loaders (XM's plugin chunks) walk through all of those zeros, which
// made a padded load many times slower than the bare module; the decoder only
// needs the module and a little slack.
size_t WithoutZeroPadding(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t end = size;
#if defined(__SSE2__)
    // 64 bytes at a time: the scan costs a few hundredths of a millisecond.
    const __m128i zero = _mm_setzero_si128();
    while (end >= 64) {
        const unsigned char* p = bytes + end - 64;
        const __m128i any =
            _mm_or_si128(_mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))),
                         _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48))));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) != 0xFFFF) {
            break;
        }
        end -= 64;
    }
#endif
    while (end > 0 && bytes[end - 1] == 0) {
        --end;
    }
    return end + kZeroTail < size ? end + kZeroTail : size;
}

// mix[i] += samples[i] * volume for `count` samples. With SSE2 eight at a time:
// a scalar int-to-float conversion a sample added several percent to the
// decoding of a small four-channel module. Same products and sums either way.
void AddScaled(const int16_t* samples, float* mix, size_t count, float volume) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128 v = _mm_set1_ps(volume);
    for (; i + 8 <= count; i += 8) {
        __m128 lo, hi;
        WidenToFloats(samples + i, lo, hi);
        _mm_storeu_ps(mix + i, _mm_add_ps(_mm_loadu_ps(mix + i), _mm_mul_ps(lo, v)));
        _mm_storeu_ps(mix + i + 4, _mm_add_ps(_mm_loadu_ps(mix + i + 4), _mm_mul_ps(hi, v)));
    }
#endif
    for (; i < count; ++i) {
        mix[i] += samples[i] * volume;
    }
}

// out[i] = samples[i] * volume, rounded and saturated: what AddScaled into a
// silent mix and ToPcm16 give, in one pass.
void ScaledToPcm16(const int16_t* samples, int16_t* out, size_t count, float volume) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128 v = _mm_set1_ps(volume);
    for (; i + 8 <= count; i += 8) {
        __m128 lo, hi;
        WidenToFloats(samples + i, lo, hi);
        StorePcm16(_mm_mul_ps(lo, v), _mm_mul_ps(hi, v), out + i);
    }
#endif
    for (; i < count; ++i) {
        out[i] = Pcm16(samples[i] * volume);
    }
}

std::string ModuleTitle(openmpt_module* module) {
    const char* utf8 = openmpt_module_get_metadata(module, "title");
    if (!utf8) {
        return {};
    }
    std::string text;
    try {
        text = Utf8ToAnsi(utf8);
    } catch (...) {
        openmpt_free_string(utf8);
        throw;
    }
    openmpt_free_string(utf8);
    return text;
}

} // namespace

std::unique_ptr<Music> Music::Load(const void* data, size_t size, DWORD flags, uint32_t rate,
                                   uint32_t blockFrames, int& error) {
    std::unique_ptr<Music> music(new Music());
    music->rate = rate;
    music->blockFrames = blockFrames;
    music->ahead.assign(static_cast<size_t>(blockFrames) * 2 * kAheadBlocks, 0);
    music->dsps.reserve(4);

    // The default at the song's end is a fade-out: a music must simply stop.
    // No dither: the same module gives the same samples every time, and the
    // gain control measures the music rather than noise. The interpolation is
    // the one the flags ask for, never an Amiga's filter in its place.
    const openmpt_module_initial_ctl ctls[] = {{"play.at_end", "stop"},
                                               {"dither", "0"},
                                               {"render.resampler.emulate_amiga", "0"},
                                               {nullptr, nullptr}};
    int status = OPENMPT_ERROR_OK;
    music->module = openmpt_module_create_from_memory2(
        data, WithoutZeroPadding(data, size), openmpt_log_func_silent, nullptr,
        openmpt_error_func_store, nullptr, &status, nullptr, ctls);
    if (!music->module) {
        error = status == OPENMPT_ERROR_OUT_OF_MEMORY ? BASS_ERROR_MEM : BASS_ERROR_FILEFORM;
        return nullptr;
    }
    // A backward jump ends the song once no repeats are left, which is how a
    // music stops where it would jump back; only the loop flag repeats.
    openmpt_module_set_repeat_count(music->module, (flags & BASS_SAMPLE_LOOP) ? -1 : 0);
    openmpt_module_set_render_param(music->module, OPENMPT_MODULE_RENDER_INTERPOLATIONFILTER_LENGTH,
                                    (flags & BASS_MUSIC_SINCINTER) ? kSincTaps : kLinearTaps);
    openmpt_module_set_render_param(music->module, OPENMPT_MODULE_RENDER_VOLUMERAMPING_STRENGTH,
                                    (flags & BASS_MUSIC_RAMPS) ? kDefaultRamping : kNoRamping);
    music->title = ModuleTitle(music->module);
    return music;
}

void Music::WarmUp() {
    // A four-channel module: title, 31 empty samples, one order, the tag, one pattern.
    unsigned char module[1084 + 64 * 4 * 4] = {};
    module[950] = 1;
    std::copy_n("M.K.", 4, module + 1080);
    openmpt_module* warm = openmpt_module_create_from_memory2(
        module, sizeof module, openmpt_log_func_silent, nullptr, openmpt_error_func_ignore, nullptr,
        nullptr, nullptr, nullptr);
    if (warm) {
        openmpt_module_destroy(warm);
    }
}

Music::~Music() {
    if (module) {
        openmpt_module_destroy(module);
    }
}

void Music::AddDsp(HDSP dsp, DSPPROC* proc, void* user, int priority) {
    // Highest priority first; a newcomer goes after those of equal priority.
    auto at = std::find_if(dsps.begin(), dsps.end(),
                           [priority](const Dsp& d) { return d.priority < priority; });
    dsps.insert(at, Dsp{dsp, proc, user, priority});
}

void Music::Rewind() {
    openmpt_module_set_position_seconds(module, 0.0);
    decodedFrames = handedFrames = 0;
    decodedToEnd = false;
    ended.store(false, std::memory_order_release);
}

const int16_t* Music::Decode(HCHANNEL channel, uint32_t frames, uint64_t blockStart,
                             size_t& got) {
    got = 0;
    if (ended.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    if (handedFrames == decodedFrames && !decodedToEnd) {
        const size_t run = blockFrames * kAheadBlocks;
        decodedFrames = openmpt_module_read_interleaved_stereo(
            module, static_cast<int32_t>(rate), run, ahead.data());
        handedFrames = 0;
        decodedToEnd = decodedFrames < run;
    }
    got = std::min<size_t>(frames, decodedFrames - handedFrames);
    int16_t* const block = ahead.data() + 2 * handedFrames;
    handedFrames += got;
    if (got < frames) {
        endFrame.store(blockStart + got, std::memory_order_relaxed);
        ended.store(true, std::memory_order_release);
    }
    if (got == 0) {
        return nullptr;
    }
    for (const Dsp& d : dsps) {
        // A callback that throws must not take the mixing thread down with it.
        try {
            d.proc(d.handle, channel, block, static_cast<DWORD>(got * 4), d.user);
        } catch (...) {
        }
    }
    return block;
}

float Music::RampVolume(uint32_t frames, float& start, float& step) {
    // Ramp from the last block's volume to the new one across the whole block,
    // so that a change is complete within one block and does not click.
    const float target = volume.load(std::memory_order_relaxed);
    // A volume set before play is the starting level, not the end of a ramp.
    start = rendered ? appliedVolume : target;
    rendered = true;
    step = (target - start) / static_cast<float>(frames);
    appliedVolume = target;
    return target;
}

void Music::Render(HCHANNEL channel, float* mix, uint32_t frames, uint64_t blockStart) {
    frames = std::min<uint32_t>(frames, static_cast<uint32_t>(blockFrames));
    size_t got = 0;
    const int16_t* s = Decode(channel, frames, blockStart, got);
    if (got == 0) {
        return;
    }
    float start, step;
    const float target = RampVolume(frames, start, step);
    if (step == 0.0f) {
        AddScaled(s, mix, got * 2, target);
    } else {
        for (size_t f = 0; f < got; ++f) {
            const float v = start + step * static_cast<float>(f + 1);
            mix[2 * f] += s[2 * f] * v;
            mix[2 * f + 1] += s[2 * f + 1] * v;
        }
    }
}

void Music::RenderAlone(HCHANNEL channel, int16_t* out, uint32_t frames, uint64_t blockStart) {
    const uint32_t decoded = std::min<uint32_t>(frames, static_cast<uint32_t>(blockFrames));
    size_t got = 0;
    const int16_t* s = Decode(channel, decoded, blockStart, got);
    if (got > 0) {
        float start, step;
        const float target = RampVolume(decoded, start, step);
        if (step == 0.0f) {
            ScaledToPcm16(s, out, got * 2, target);
        } else {
            for (size_t f = 0; f < got; ++f) {
                const float v = start + step * static_cast<float>(f + 1);
                out[2 * f] = Pcm16(s[2 * f] * v);
                out[2 * f + 1] = Pcm16(s[2 * f + 1] * v);
            }
        }
    }
    std::fill(out + got * 2, out + static_cast<size_t>(frames) * 2, int16_t{0});
}

} // namespace sonvale::audio
