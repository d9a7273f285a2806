// The sound card through winmm's waveOut: a ring of buffers that the mixing
// thread refills as the device hands them back.

#include "AudioEngine.h"
#include "OutputDevice.h"

#include <mmsystem.h>

#include <atomic>
#include <vector>

namespace sonvale::audio {
namespace {

// 10 x 1024 frames is about 232 ms at 44.1 kHz. The mixer refills each buffer
// as soon as the device hands it back, so about 209 ms are still queued when it
// wakes: enough to ride out a busy moment. A volume change or a stop is
// applied as a block is mixed, so it reaches the ear at most a ring (232 ms)
// later. Decoding is batched in the music, which decodes several blocks ahead
// at once: a decode right after a sleep finds the caches cold.
constexpr uint32_t kBlockFrames = 1024;
constexpr int kBuffers = 10;
// A device that hands back nothing for this long (over four rings) is lost:
// unplugged, taken over by another program, its service restarted.
constexpr double kLostAfterSeconds = 1.0;

class WaveOutOutput final : public OutputDevice {
  public:
    WaveOutOutput(HANDLE done, uint32_t rate)
        : done(done), blockSeconds(double(kBlockFrames) / rate) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        ticksPerSecond = static_cast<double>(f.QuadPart);
        samples.resize(static_cast<size_t>(kBlockFrames) * 2 * kBuffers);
    }

    // Opens the device with this object as the callback's instance, then
    // prepares the ring's headers.
    MMRESULT Open(UINT id, const WAVEFORMATEX& wanted) {
        format = wanted;
        const MMRESULT result =
            waveOutOpen(&device, id, &format, reinterpret_cast<DWORD_PTR>(&DeviceProc),
                        reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
        if (result != MMSYSERR_NOERROR) {
            device = nullptr;
            return result;
        }
        for (int i = 0; i < kBuffers; ++i) {
            WAVEHDR& h = headers[i];
            h = WAVEHDR{};
            h.lpData = reinterpret_cast<LPSTR>(&samples[static_cast<size_t>(i) * kBlockFrames * 2]);
            h.dwBufferLength = kBlockFrames * 4;
            prepared[i] = waveOutPrepareHeader(device, &h, sizeof h) == MMSYSERR_NOERROR;
        }
        return MMSYSERR_NOERROR;
    }

    ~WaveOutOutput() override {
        Close();
        CloseHandle(done);
    }

    uint32_t BlockFrames() const override { return kBlockFrames; }

    int16_t* NextBuffer() override {
        if (!raisedPriority) {
            // The mixing thread calls this first: keep the sound going while the
            // interface is busy.
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
            raisedPriority = true;
        }
        Reap();
        while (outstanding == kBuffers && !interrupted.load(std::memory_order_acquire)) {
            WaitForOldest();
            Reap();
        }
        awaited.store(nullptr, std::memory_order_release);
        if (interrupted.load(std::memory_order_acquire)) {
            return nullptr;
        }
        return reinterpret_cast<int16_t*>(headers[next].lpData);
    }

    void Submit(int16_t*) override {
        WAVEHDR& h = headers[next];
        h.dwFlags &= ~WHDR_DONE;
        refused[next] = !prepared[next] || waveOutWrite(device, &h, sizeof h) != MMSYSERR_NOERROR;
        if (refused[next]) {
            // A buffer the device refused (unplugged, say), or one with no device
            // at all, still takes its time to "play", so that a music lasts as
            // long as it would be heard and the mixer does not race through it.
            const double now = Seconds();
            lastDue = (lastDue > now ? lastDue : now) + blockSeconds;
            dueTime[next] = lastDue;
        }
        if (outstanding == 0) {
            lastReturn = Seconds(); // the device's time to return the first starts now
        }
        ++outstanding;
        next = (next + 1) % kBuffers;
    }

    uint64_t PlayedFrames() const override { return played.load(std::memory_order_acquire); }

    void Interrupt() override {
        interrupted.store(true, std::memory_order_release);
        SetEvent(done);
    }

    // waveOut's thread, once per buffer played: wakes the mixer only for the
    // buffer it waits for; under Wine each wake of a thread is a round trip
    // through the server.
    static void CALLBACK DeviceProc(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR header,
                                    DWORD_PTR) {
        if (message != WOM_DONE) {
            return;
        }
        auto* self = reinterpret_cast<WaveOutOutput*>(instance);
        // The done flag is set by now; see WaitForOldest.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (reinterpret_cast<WAVEHDR*>(header) == self->awaited.load()) {
            SetEvent(self->done);
        }
    }

  private:
    double Seconds() const {
        LARGE_INTEGER c;
        QueryPerformanceCounter(&c);
        return static_cast<double>(c.QuadPart) / ticksPerSecond;
    }

    // Waits until the oldest buffer may be back: the device's callback sets the
    // event when it returns, a refused one is back when its time has passed.
    // The timeout guards against a lost signal and bounds the wait for a device
    // that has stopped returning buffers, which is then given up on.
    void WaitForOldest() {
        DWORD wait = 100;
        if (refused[oldest]) {
            const double left = dueTime[oldest] - Seconds();
            if (left <= 0) {
                return;
            }
            wait = left >= 0.1 ? 100 : static_cast<DWORD>(left * 1000) + 1;
        } else {
            const double silent = Seconds() - lastReturn;
            if (silent >= kLostAfterSeconds) {
                GiveUpDevice();
                return;
            }
            // Sequentially consistent, as is the callback's fence: either the
            // callback sees `awaited` or Reap sees the buffer's done flag.
            awaited.store(&headers[oldest]);
            if (headers[oldest].dwFlags & WHDR_DONE) {
                return;
            }
            const double left = kLostAfterSeconds - silent;
            wait = left >= 0.1 ? 100 : static_cast<DWORD>(left * 1000) + 1;
        }
        WaitForSingleObject(done, wait);
    }

    // Takes back, oldest first, the buffers that the device has played or whose
    // time has passed (refused ones), and counts them as played.
    void Reap() {
        uint64_t frames = 0;
        double now = -1;
        while (outstanding > 0) {
            if (refused[oldest]) {
                if (now < 0) {
                    now = Seconds();
                }
                if (dueTime[oldest] > now) {
                    break;
                }
            } else if (!(headers[oldest].dwFlags & WHDR_DONE)) {
                break;
            }
            frames += kBlockFrames;
            --outstanding;
            oldest = (oldest + 1) % kBuffers;
        }
        if (frames != 0) {
            lastReturn = now < 0 ? Seconds() : now;
            played.fetch_add(frames, std::memory_order_release);
        }
    }

    // The device keeps its buffers: close it and count what it kept as played,
    // since nobody will hear it now and a music's clock must go on. Then try
    // the default device once; without it, buffers are "refused" and keep time
    // as the "no sound" device does, so tracks still end.
    void GiveUpDevice() {
        Close();
        played.fetch_add(uint64_t(outstanding) * kBlockFrames, std::memory_order_release);
        outstanding = 0;
        oldest = next;
        if (!reopened) {
            reopened = true;
            Open(WAVE_MAPPER, format);
        }
    }

    void Close() {
        if (device == nullptr) {
            return;
        }
        waveOutReset(device); // hands every queued buffer back at once
        for (int i = 0; i < kBuffers; ++i) {
            if (prepared[i]) {
                waveOutUnprepareHeader(device, &headers[i], sizeof headers[i]);
                prepared[i] = false;
            }
        }
        waveOutClose(device);
        device = nullptr;
    }

    const HANDLE done; // auto-reset event, set by DeviceProc and Interrupt
    const double blockSeconds;
    double ticksPerSecond = 1;
    // Set by Open before the mixing thread starts; afterwards mixing thread only
    // (and the destructor, after that thread has ended). Buffers go out in ring
    // order from `next` and come back in the same order at `oldest`;
    // `outstanding` of them are out.
    HWAVEOUT device = nullptr; // null once given up with no device to replace it
    WAVEFORMATEX format{};
    std::vector<int16_t> samples;
    WAVEHDR headers[kBuffers];
    bool prepared[kBuffers] = {};
    bool refused[kBuffers] = {};
    double dueTime[kBuffers] = {}; // when a refused buffer counts as played
    double lastDue = 0;
    double lastReturn = 0; // when the device last handed a buffer back
    int next = 0;
    int oldest = 0;
    int outstanding = 0;
    bool raisedPriority = false;
    bool reopened = false;
    // Atomic: added to by the mixing thread, read by any.
    std::atomic<uint64_t> played{0};
    // Atomic: set by any thread, read by the mixing thread.
    std::atomic<bool> interrupted{false};
    // Atomic: written by the mixing thread, read by waveOut's thread; the
    // header whose return should wake the mixer, or null.
    std::atomic<WAVEHDR*> awaited{nullptr};
};

int OpenError(MMRESULT result) {
    switch (result) {
    case MMSYSERR_BADDEVICEID:
    case MMSYSERR_NODRIVER:
        return BASS_ERROR_DEVICE;
    case WAVERR_BADFORMAT:
        return BASS_ERROR_FORMAT;
    case MMSYSERR_NOMEM:
        return BASS_ERROR_MEM;
    default:
        return BASS_ERROR_DRIVER;
    }
}

} // namespace

std::unique_ptr<OutputDevice> OpenSystemOutput(int device, uint32_t rate, int& error) {
    const UINT count = waveOutGetNumDevs();
    if (count == 0 || device < -1 || device == 0 || (device > 0 && UINT(device) > count)) {
        error = BASS_ERROR_DEVICE;
        return nullptr;
    }
    const UINT id = device == -1 ? WAVE_MAPPER : UINT(device - 1);

    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 4;
    format.nAvgBytesPerSec = rate * 4;

    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!done) {
        error = BASS_ERROR_MEM;
        return nullptr;
    }
    std::unique_ptr<WaveOutOutput> output;
    try {
        output = std::make_unique<WaveOutOutput>(done, rate);
    } catch (...) {
        CloseHandle(done);
        error = BASS_ERROR_MEM;
        return nullptr;
    }
    const MMRESULT result = output->Open(id, format);
    if (result != MMSYSERR_NOERROR) {
        error = OpenError(result);
        return nullptr;
    }
    return output;
}

} // namespace sonvale::audio
