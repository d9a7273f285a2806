#pragma once
// For tests and benchmarks: start the engine on an output device of their own
// (one that records what it is given, or takes blocks as fast as they come).

#include "AudioEngine.h"
#include "OutputDevice.h"

#include <memory>

namespace sonvale::audio {

// As BASS_Init, with `output` in place of a device number.
BOOL InitWithOutput(std::unique_ptr<OutputDevice> output, DWORD freq);

} // namespace sonvale::audio
