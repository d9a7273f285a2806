#pragma once
// Automatic gain control: a DSP stage on the audio mixing thread that evens out
// the level of the modules. Process-wide state, one stream of blocks at a time.

#include "AudioEngine.h"

#include <atomic>
#include <cstdint>

// Written by the interface thread (the "AGC" check box), read by the mixing
// thread once per block: lock-free atomic.
extern std::atomic<bool> agcEnabled;
// Touched only on the mixing thread. Starts at 10.0 so that the first block
// always limits.
extern float agcGain;

// Scales a block of 16-bit interleaved stereo in place: `frames` frames, so
// 2 * frames samples. Allocates nothing, locks nothing, calls no system function.
void ApplyAutoGain(int16_t* samples, uint32_t frames);

// The audio engine's DSP callback (a DSPPROC): runs ApplyAutoGain on each block
// while agcEnabled is set, otherwise leaves the block untouched.
void CALLBACK AgcDspProc(HDSP dspHandle, DWORD channel, void* buffer, DWORD length, void* user);
