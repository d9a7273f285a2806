// The "no sound" device: a clock that plays blocks into nothing.

#include "OutputDevice.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace sonvale::audio {
namespace {

using Clock = std::chrono::steady_clock;

class ClockOutput final : public OutputDevice {
  public:
    explicit ClockOutput(uint32_t rate) : rate(rate), buffer(kBlockFrames * 2) {}

    uint32_t BlockFrames() const override { return kBlockFrames; }

    int16_t* NextBuffer() override {
        std::unique_lock<std::mutex> hold(lock);
        if (!started) {
            started = true;
            start = Clock::now();
        }
        // Like a real device, keep a few blocks queued ahead of what is heard.
        const uint64_t queuedLimit = submitted >= kQueuedBlocks * kBlockFrames
                                         ? submitted - kQueuedBlocks * kBlockFrames
                                         : 0;
        wake.wait_until(hold, TimeOfFrame(queuedLimit), [this] { return interrupted; });
        return interrupted ? nullptr : buffer.data();
    }

    void Submit(int16_t*) override {
        std::lock_guard<std::mutex> hold(lock);
        submitted += kBlockFrames;
    }

    uint64_t PlayedFrames() const override {
        std::lock_guard<std::mutex> hold(lock);
        if (!started) {
            return 0;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const uint64_t elapsed = static_cast<uint64_t>(seconds * rate);
        return elapsed < submitted ? elapsed : submitted;
    }

    void Interrupt() override {
        {
            std::lock_guard<std::mutex> hold(lock);
            interrupted = true;
        }
        wake.notify_all();
    }

  private:
    static constexpr uint32_t kBlockFrames = 1024;
    static constexpr uint64_t kQueuedBlocks = 3;

    Clock::time_point TimeOfFrame(uint64_t frame) const {
        return start + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(static_cast<double>(frame) / rate));
    }

    const uint32_t rate;
    std::vector<int16_t> buffer; // mixing thread only
    mutable std::mutex lock;     // guards everything below
    std::condition_variable wake;
    bool started = false;
    Clock::time_point start;
    uint64_t submitted = 0;
    bool interrupted = false;
};

} // namespace

std::unique_ptr<OutputDevice> OpenClockOutput(uint32_t rate) {
    return std::make_unique<ClockOutput>(rate);
}

} // namespace sonvale::audio
