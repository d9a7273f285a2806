// Native builds have no sound card backend: only the "no sound" device plays.

#include "AudioEngine.h"
#include "OutputDevice.h"

namespace sonvale::audio {

std::unique_ptr<OutputDevice> OpenSystemOutput(int, uint32_t, int& error) {
    error = BASS_ERROR_DEVICE;
    return nullptr;
}

} // namespace sonvale::audio
