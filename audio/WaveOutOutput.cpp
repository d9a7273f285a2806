// The sound card through winmm's waveOut: a ring of buffers that the mixing
// thread refills as the device hands them back.

#include "AudioEngine.h"
#include "OutputDevice.h"

#include <mmsystem.h>

#include <atomic>
#include <vector>

namespace sonvale::audio {
namespace {

// 10 x 1024 frames is about 230 ms at 44.1 kHz: enough to ride out a busy
// moment, short enough that a volume change is heard at once.
constexpr uint32_t kBlockFrames = 1024;
constexpr int kBuffers = 10;
// Once the ring is full, the mixer waits until this many buffers are back and
// then mixes them one after the other. Decoding a block right after waking
// from a sleep found the decoder's tables and the module cold each time, which
// cost more than the decoding itself; a volume change still reaches the ear no
// later than with one block at a time.
constexpr int kBatch = kBuffers / 2;

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
    MMRESULT Open(UINT id, const WAVEFORMATEX& format) {
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
        if (device != nullptr) {
            waveOutReset(device); // hands every queued buffer back at once
            for (int i = 0; i < kBuffers; ++i) {
                if (prepared[i]) {
                    waveOutUnprepareHeader(device, &headers[i], sizeof headers[i]);
                }
            }
            waveOutClose(device);
        }
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
        if (outstanding == kBuffers) {
            // Wait for the oldest kBatch buffers: the device's callback sets the
            // event when the last of them that it holds comes back, and one it
            // refused comes back when its time has passed. The timeout only
            // guards against a lost signal.
            const int last = (oldest + kBatch - 1) % kBuffers;
            while (!interrupted.load(std::memory_order_acquire) &&
                   outstanding > kBuffers - kBatch) {
                WAVEHDR* wake = nullptr;
                double due = 0;
                for (int i = oldest;; i = (i + 1) % kBuffers) {
                    if (refused[i]) {
                        due = dueTime[i];
                    } else {
                        wake = &headers[i];
                    }
                    if (i == last) {
                        break;
                    }
                }
                // Sequentially consistent, as is the callback's fence: either the
                // callback sees `awaited` or Reap sees the buffer's done flag.
                awaited.store(wake);
                Reap();
                if (outstanding <= kBuffers - kBatch) {
                    break;
                }
                DWORD wait = 100;
                if (due > 0) {
                    const double left = due - Seconds();
                    wait = left <= 0 ? 0 : left >= 0.1 ? 100 : static_cast<DWORD>(left * 1000) + 1;
                }
                WaitForSingleObject(done, wait);
                Reap();
            }
            awaited.store(nullptr, std::memory_order_release);
        }
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
            // A buffer the device refused (unplugged, say) still takes its time
            // to "play", so that a music lasts as long as it would be heard and
            // the mixer does not race through it.
            const double now = Seconds();
            lastDue = (lastDue > now ? lastDue : now) + blockSeconds;
            dueTime[next] = lastDue;
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
    // buffer it waits for, not for every one; under Wine each wake of a thread
    // is a round trip through the server.
    static void CALLBACK DeviceProc(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR header,
                                    DWORD_PTR) {
        if (message != WOM_DONE) {
            return;
        }
        auto* self = reinterpret_cast<WaveOutOutput*>(instance);
        self->played.fetch_add(kBlockFrames, std::memory_order_acq_rel);
        // The done flag is set by now; see NextBuffer.
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

    // Takes back, oldest first, the buffers that the device has played (counted
    // by DeviceProc) or whose time has passed (refused ones, counted here).
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
                frames += kBlockFrames;
            } else if (!(headers[oldest].dwFlags & WHDR_DONE)) {
                break;
            }
            --outstanding;
            oldest = (oldest + 1) % kBuffers;
        }
        if (frames != 0) {
            played.fetch_add(frames, std::memory_order_acq_rel);
        }
    }

    HWAVEOUT device = nullptr; // set by Open, before the mixing thread starts
    const HANDLE done;         // auto-reset event, set by DeviceProc and Interrupt
    const double blockSeconds;
    double ticksPerSecond = 1;
    // Mixing thread only (and the destructor, after that thread has ended).
    // Buffers go out in ring order from `next` and come back in the same order
    // at `oldest`; `outstanding` of them are out.
    std::vector<int16_t> samples;
    WAVEHDR headers[kBuffers];
    bool prepared[kBuffers] = {};
    bool refused[kBuffers] = {};
    double dueTime[kBuffers] = {}; // when a refused buffer counts as played
    double lastDue = 0;
    int next = 0;
    int oldest = 0;
    int outstanding = 0;
    bool raisedPriority = false;
    // Atomic: added to by waveOut's thread and the mixing thread, read by any.
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
