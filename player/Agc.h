#pragma once
// Automatic gain control: a DSP stage on the audio mixing thread that evens out
// the level of the modules. Process-wide state, one stream of blocks at a time.

#include <atomic>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define AGC_CALLBACK __stdcall
#else
#define AGC_CALLBACK
#endif

// Written by the interface thread (the "AGC" check box), read by the mixing
// thread once per block: lock-free atomic.
extern std::atomic<bool> agcEnabled;
// Touched only on the mixing thread. Starts at 10.0 so that the first block
// always limits.
extern float agcGain;

// Scales a block of 16-bit interleaved stereo in place: `frames` frames, so
// 2 * frames samples. Allocates nothing, locks nothing, calls no system function.
void ApplyAutoGain(int16_t* samples, uint32_t frames);

// The audio library's DSP callback: runs ApplyAutoGain on each block while
// agcEnabled is set, otherwise leaves the block untouched.
void AGC_CALLBACK AgcDspProc(uint32_t dspHandle, uint32_t channel, void* buffer, uint32_t length,
                             void* user);
