#pragma once
// An output device for tests: takes blocks as fast as the engine mixes them (or
// at a set pace), keeps what it was given, and reports as played what the test
// says.

#include "EngineTesting.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sonvale::test {

// What the test sees of the device; it outlives the device itself.
struct Capture {
    std::mutex lock;
    std::vector<int16_t> samples; // lock
    std::atomic<uint64_t> submittedFrames{0};
    // While set, PlayedFrames follows submittedFrames; otherwise it is heldPlayed.
    std::atomic<bool> playAll{true};
    std::atomic<uint64_t> heldPlayed{0};
    // Wall time per block, so that a test can act between blocks.
    std::atomic<int> paceMicroseconds{0};
    std::atomic<bool> record{true};

    std::vector<int16_t> Samples() {
        std::lock_guard<std::mutex> hold(lock);
        return samples;
    }
};

class CaptureOutput final : public audio::OutputDevice {
  public:
    static constexpr uint32_t kBlockFrames = 1024;

    explicit CaptureOutput(std::shared_ptr<Capture> capture)
        : capture(std::move(capture)), buffer(kBlockFrames * 2) {}

    uint32_t BlockFrames() const override { return kBlockFrames; }

    int16_t* NextBuffer() override {
        const int pace = capture->paceMicroseconds.load();
        if (pace > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(pace));
        } else {
            std::this_thread::yield();
        }
        return interrupted.load() ? nullptr : buffer.data();
    }

    void Submit(int16_t* block) override {
        if (capture->record.load()) {
            std::lock_guard<std::mutex> hold(capture->lock);
            capture->samples.insert(capture->samples.end(), block, block + kBlockFrames * 2);
        }
        capture->submittedFrames += kBlockFrames;
    }

    uint64_t PlayedFrames() const override {
        return capture->playAll.load() ? capture->submittedFrames.load()
                                       : capture->heldPlayed.load();
    }

    void Interrupt() override { interrupted = true; }

  private:
    std::shared_ptr<Capture> capture;
    std::vector<int16_t> buffer;
    std::atomic<bool> interrupted{false};
};

// Starts the engine on a capture device at 44.1 kHz. The default pace is many
// times real time, yet keeps the silence after a music from piling up.
inline std::shared_ptr<Capture> InitCapture(int paceMicroseconds = 250) {
    auto capture = std::make_shared<Capture>();
    capture->paceMicroseconds = paceMicroseconds;
    if (!audio::InitWithOutput(std::make_unique<CaptureOutput>(capture), 44100)) {
        return nullptr;
    }
    return capture;
}

} // namespace sonvale::test
