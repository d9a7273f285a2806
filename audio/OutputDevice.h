#pragma once
// Where the mixed sound goes. The engine's core knows only this interface; the
// waveOut device lives in its own file so that the core builds without Windows.

#include <cstdint>
#include <memory>

namespace sonvale::audio {

class OutputDevice {
  public:
    virtual ~OutputDevice() = default;
    OutputDevice() = default;
    OutputDevice(const OutputDevice&) = delete;
    OutputDevice& operator=(const OutputDevice&) = delete;

    // Frames per block; every buffer that NextBuffer hands out holds this many.
    virtual uint32_t BlockFrames() const = 0;
    // Mixing thread: waits until a block may be written and returns its buffer
    // (interleaved 16-bit stereo), or null once Interrupt was called.
    virtual int16_t* NextBuffer() = 0;
    // Mixing thread: queues the buffer that NextBuffer returned last.
    virtual void Submit(int16_t* buffer) = 0;
    // Any thread: frames that have been played out so far.
    virtual uint64_t PlayedFrames() const = 0;
    // Any thread: makes a waiting or later NextBuffer return null.
    virtual void Interrupt() = 0;
};

// The "no sound" device: accepts blocks at the pace of a real device and
// discards them.
std::unique_ptr<OutputDevice> OpenClockOutput(uint32_t rate);

// The system's sound output: device -1 is the default, n >= 1 the n-th device.
// On failure returns null and sets `error` to a BASS_ERROR_* code.
std::unique_ptr<OutputDevice> OpenSystemOutput(int device, uint32_t rate, int& error);

} // namespace sonvale::audio
