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

class WaveOutOutput final : public OutputDevice {
  public:
    WaveOutOutput(HWAVEOUT device, HANDLE done, uint32_t rate)
        : device(device), done(done), blockSeconds(double(kBlockFrames) / rate) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        ticksPerSecond = static_cast<double>(f.QuadPart);
        samples.resize(static_cast<size_t>(kBlockFrames) * 2 * kBuffers);
        for (int i = 0; i < kBuffers; ++i) {
            WAVEHDR& h = headers[i];
            h = WAVEHDR{};
            h.lpData = reinterpret_cast<LPSTR>(&samples[static_cast<size_t>(i) * kBlockFrames * 2]);
            h.dwBufferLength = kBlockFrames * 4;
            prepared[i] = waveOutPrepareHeader(device, &h, sizeof h) == MMSYSERR_NOERROR;
        }
    }

    ~WaveOutOutput() override {
        waveOutReset(device); // hands every queued buffer back at once
        for (int i = 0; i < kBuffers; ++i) {
            if (prepared[i]) {
                waveOutUnprepareHeader(device, &headers[i], sizeof headers[i]);
            }
        }
        waveOutClose(device);
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
        WAVEHDR& h = headers[next];
        while (!interrupted.load(std::memory_order_acquire)) {
            if (!queued[next]) {
                return reinterpret_cast<int16_t*>(h.lpData);
            }
            DWORD wait = 100;
            if (refused[next]) {
                // A refused buffer comes back once its time has passed.
                const double left = dueTime[next] - Seconds();
                wait = left <= 0 ? 0 : static_cast<DWORD>(left * 1000) + 1;
            }
            if (refused[next] ? wait == 0 : (h.dwFlags & WHDR_DONE) != 0) {
                queued[next] = false;
                played.store(played.load(std::memory_order_relaxed) + kBlockFrames,
                             std::memory_order_release);
                return reinterpret_cast<int16_t*>(h.lpData);
            }
            // The device signals the event as each buffer comes back; the timeout
            // only guards against a lost signal.
            WaitForSingleObject(done, wait);
        }
        return nullptr;
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
        queued[next] = true;
        next = (next + 1) % kBuffers;
    }

    uint64_t PlayedFrames() const override { return played.load(std::memory_order_acquire); }

    void Interrupt() override {
        interrupted.store(true, std::memory_order_release);
        SetEvent(done);
    }

  private:
    double Seconds() const {
        LARGE_INTEGER c;
        QueryPerformanceCounter(&c);
        return static_cast<double>(c.QuadPart) / ticksPerSecond;
    }

    const HWAVEOUT device;
    const HANDLE done; // auto-reset event that waveOut signals
    // Mixing thread only (and the destructor, after that thread has ended).
    std::vector<int16_t> samples;
    WAVEHDR headers[kBuffers];
    bool prepared[kBuffers] = {};
    const double blockSeconds;
    double ticksPerSecond = 1;
    bool queued[kBuffers] = {};
    bool refused[kBuffers] = {};
    double dueTime[kBuffers] = {}; // when a refused buffer counts as played
    double lastDue = 0;
    int next = 0;
    bool raisedPriority = false;
    // Written by the mixing thread, read by any thread.
    std::atomic<uint64_t> played{0};
    std::atomic<bool> interrupted{false};
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
    HWAVEOUT handle = nullptr;
    const MMRESULT result =
        waveOutOpen(&handle, id, &format, reinterpret_cast<DWORD_PTR>(done), 0, CALLBACK_EVENT);
    if (result != MMSYSERR_NOERROR) {
        CloseHandle(done);
        error = OpenError(result);
        return nullptr;
    }
    try {
        return std::make_unique<WaveOutOutput>(handle, done, rate);
    } catch (...) {
        waveOutClose(handle);
        CloseHandle(done);
        error = BASS_ERROR_MEM;
        return nullptr;
    }
}

} // namespace sonvale::audio
