// The sound card through winmm's waveOut: a ring of buffers that the mixing
// thread refills as the device hands them back. A device that is lost is given
// up; the mixer then keeps time by the clock and opens the default device again
// about once a second, so the sound comes back with the device (one that opens
// but never plays is tried less and less often).

#include "AudioEngine.h"
#include "OutputDevice.h"

#include <mmsystem.h>

#include <atomic>
#include <memory>
#include <new>

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
// Between two tries of the default device while none plays. Under Wine a
// waveOutOpen that fails takes 0.5-11 ms, one that succeeds 2-3 ms and the close
// of a lost device 1-13 ms: well within the ring (232 ms) that the clock keeps
// queued ahead, so the music's time does not slip.
constexpr double kReopenSeconds = 1.0;
// A device that opens but never hands a buffer back costs a second of silence
// each time: after each one given up the wait doubles, up to this, until some
// device plays again.
constexpr double kLongestRetrySeconds = 30.0;
// The ring in use plus those kept by devices that failed to close, which may
// still write their headers and read their samples: they are never handed to
// another device nor freed. With every ring kept, no device is opened until a
// retried close succeeds: at most three rings (41 KB each) and device handles.
constexpr int kRings = 3;

// A set of headers and the samples they point at, with the device that may hold them.
struct Ring {
    WAVEHDR headers[kBuffers];
    bool prepared[kBuffers];
    int16_t samples[kBuffers * kBlockFrames * 2];
    HWAVEOUT device = nullptr; // open on these headers, or failed to close; null when free
    HANDLE done = nullptr;     // the output's event, set when `awaited` comes back
    // Atomic: written by the mixing thread, read by waveOut's thread; the
    // header whose return should wake the mixer, or null.
    std::atomic<WAVEHDR*> awaited{nullptr};
};

class WaveOutOutput final : public OutputDevice {
  public:
    WaveOutOutput(HANDLE done, uint32_t rate, const WAVEFORMATEX& format)
        : done(done), blockSeconds(double(kBlockFrames) / rate), format(format) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        ticksPerSecond = static_cast<double>(f.QuadPart);
        rings[0] = std::make_unique<Ring>();
        rings[0]->done = done;
        ring = rings[0].get();
    }

    // Opens the device on the ring that no device holds, with the ring as the
    // callback's instance, and prepares its headers.
    MMRESULT Open(UINT id, Ring& on) {
        nextOpen = Seconds() + kReopenSeconds;
        HWAVEOUT opened = nullptr;
        const MMRESULT result =
            waveOutOpen(&opened, id, &format, reinterpret_cast<DWORD_PTR>(&DeviceProc),
                        reinterpret_cast<DWORD_PTR>(&on), CALLBACK_FUNCTION);
        if (result != MMSYSERR_NOERROR) {
            return result;
        }
        owed = 0; // the music goes on where it is: nothing is skipped while a device plays
        for (int i = 0; i < kBuffers; ++i) {
            WAVEHDR& h = on.headers[i];
            h = WAVEHDR{};
            h.lpData = reinterpret_cast<LPSTR>(&on.samples[i * kBlockFrames * 2]);
            h.dwBufferLength = kBlockFrames * 4;
            on.prepared[i] = waveOutPrepareHeader(opened, &h, sizeof h) == MMSYSERR_NOERROR;
        }
        on.device = device = opened;
        ring = &on;
        return MMSYSERR_NOERROR;
    }
    MMRESULT Open(UINT id) { return Open(id, *ring); }

    ~WaveOutOutput() override {
        bool kept = false;
        for (std::unique_ptr<Ring>& r : rings) {
            if (r && r->device && !Release(*r)) {
                // Leaked on purpose, with the event the callback may still set:
                // its device may still write to it.
                (void)r.release();
                kept = true;
            }
        }
        if (!kept) {
            CloseHandle(done);
        }
    }

    uint32_t BlockFrames() const override { return kBlockFrames; }

    int16_t* NextBuffer() override {
        if (!raisedPriority) {
            // The mixing thread calls this first: keep the sound going while the
            // interface is busy.
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
            raisedPriority = true;
        }
        if (device == nullptr && Seconds() >= nextOpen) {
            Reopen();
        }
        Reap();
        while (outstanding == kBuffers && !interrupted.load(std::memory_order_acquire)) {
            WaitForOldest();
            Reap();
        }
        ring->awaited.store(nullptr, std::memory_order_release);
        if (interrupted.load(std::memory_order_acquire)) {
            return nullptr;
        }
        // Without a device nothing mixed is heard, and the ring may still be
        // held by the device that was lost.
        return device != nullptr ? &ring->samples[next * kBlockFrames * 2] : scratch;
    }

    void Submit(int16_t*) override {
        bool written = false;
        if (device != nullptr) {
            WAVEHDR& h = ring->headers[next];
            h.dwFlags &= ~WHDR_DONE;
            written =
                ring->prepared[next] && waveOutWrite(device, &h, sizeof h) == MMSYSERR_NOERROR;
            if (!written) {
                LoseDevice(); // the usual sign of an unplugged device
            }
        }
        refused[next] = !written;
        if (!written && owed >= blockSeconds) {
            owed -= blockSeconds; // the time a silent device took is made up at once
            dueTime[next] = 0;
        } else if (!written) {
            // A buffer that no device took still takes its time to "play", so
            // that a music lasts as long as it would be heard and the mixer does
            // not race through it.
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
        auto* ring = reinterpret_cast<Ring*>(instance);
        // The done flag is set by now; see WaitForOldest.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (reinterpret_cast<WAVEHDR*>(header) == ring->awaited.load()) {
            SetEvent(ring->done);
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
                // The music keeps its pace: the silence counts as played, of which
                // the buffers the device kept are a part (LoseDevice).
                owed = kLostAfterSeconds - outstanding * blockSeconds;
                nextOpen = Seconds() + retryDelay;
                retryDelay = retryDelay * 2 < kLongestRetrySeconds ? retryDelay * 2
                                                                   : kLongestRetrySeconds;
                LoseDevice();
                return;
            }
            // Sequentially consistent, as is the callback's fence: either the
            // callback sees `awaited` or Reap sees the buffer's done flag.
            ring->awaited.store(&ring->headers[oldest]);
            if (ring->headers[oldest].dwFlags & WHDR_DONE) {
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
            } else if (!(ring->headers[oldest].dwFlags & WHDR_DONE)) {
                break;
            } else {
                retryDelay = kReopenSeconds; // a device plays
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

    // The device refused a buffer or kept them all: nobody will hear what it
    // still has, which counts as played once the buffers before it are, so a
    // music's clock goes on. Until a device opens, buffers are "refused" and
    // keep time as the "no sound" device does, so tracks still end.
    void LoseDevice() {
        for (int i = 0, slot = oldest; i < outstanding; ++i, slot = (slot + 1) % kBuffers) {
            if (!refused[slot]) {
                refused[slot] = true;
                dueTime[slot] = 0;
            }
        }
        Release(*ring);
        device = nullptr;
    }

    // Closes again the devices that failed to close, then opens the default
    // device on a ring that none holds: the one in use if it is free.
    void Reopen() {
        for (std::unique_ptr<Ring>& r : rings) {
            if (r && r->device) {
                Release(*r);
            }
        }
        Ring* free = ring->device == nullptr ? ring : nullptr;
        for (std::unique_ptr<Ring>& r : rings) {
            if (free == nullptr && r == nullptr) {
                r.reset(new (std::nothrow) Ring());
                if (r) {
                    r->done = done;
                }
            }
            if (free == nullptr && r && r->device == nullptr) {
                free = r.get();
            }
        }
        if (free != nullptr) {
            Open(WAVE_MAPPER, *free);
        } else {
            nextOpen = Seconds() + kReopenSeconds;
        }
    }

    // Takes the ring back from its device; false while the device may still hold it.
    static bool Release(Ring& r) {
        r.awaited.store(nullptr);
        // A reset hands every queued buffer back marked done. After one that
        // failed, only the buffers already back are unprepared: the others may
        // still be the device's.
        const bool reset = waveOutReset(r.device) == MMSYSERR_NOERROR;
        for (int i = 0; i < kBuffers; ++i) {
            if (r.prepared[i] && (reset || (r.headers[i].dwFlags & WHDR_DONE)) &&
                waveOutUnprepareHeader(r.device, &r.headers[i], sizeof r.headers[i]) ==
                    MMSYSERR_NOERROR) {
                r.prepared[i] = false;
            }
        }
        // Windows refuses the close while a buffer is queued and the handle lives
        // on; Wine 8 closes a device whose sound server went away although its
        // reset failed. Either way the ring is free only after a close that
        // succeeds, or once winmm no longer knows the handle at all.
        const MMRESULT closed = waveOutClose(r.device);
        if (closed != MMSYSERR_NOERROR && closed != MMSYSERR_INVALHANDLE) {
            return false;
        }
        r.device = nullptr;
        return true;
    }

    const HANDLE done; // auto-reset event, set by DeviceProc and Interrupt
    const double blockSeconds;
    const WAVEFORMATEX format;
    double ticksPerSecond = 1;
    // Set by Open before the mixing thread starts; afterwards mixing thread only
    // (and the destructor, after that thread has ended). Buffers go out in ring
    // order from `next` and come back in the same order at `oldest`;
    // `outstanding` of them are out. Those out on a device are on `ring`'s
    // headers; the ring changes only while every buffer out is a refused one.
    std::unique_ptr<Ring> rings[kRings];
    Ring* ring = nullptr;      // the one mixed into
    HWAVEOUT device = nullptr; // `ring`'s device while it plays; null once lost
    double nextOpen = 0;       // when the default device may be tried again
    double retryDelay = kReopenSeconds; // after the next device that stays silent
    double owed = 0;           // seconds of music to make up at once, no device playing
    int16_t scratch[kBlockFrames * 2]; // mixed into, unheard, while no device plays
    bool refused[kBuffers] = {};
    double dueTime[kBuffers] = {}; // when a refused buffer counts as played
    double lastDue = 0;
    double lastReturn = 0; // when the device last handed a buffer back
    int next = 0;
    int oldest = 0;
    int outstanding = 0;
    bool raisedPriority = false;
    // Atomic: added to by the mixing thread, read by any.
    std::atomic<uint64_t> played{0};
    // Atomic: set by any thread, read by the mixing thread.
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
    std::unique_ptr<WaveOutOutput> output;
    try {
        output = std::make_unique<WaveOutOutput>(done, rate, format);
    } catch (...) {
        CloseHandle(done);
        error = BASS_ERROR_MEM;
        return nullptr;
    }
    const MMRESULT result = output->Open(id);
    if (result != MMSYSERR_NOERROR) {
        error = OpenError(result);
        return nullptr;
    }
    return output;
}

} // namespace sonvale::audio
