// The waveOut ring as the engine drives it, seen through the engine's own calls
// (hooked in this program's import table) while a real module plays:
//  - sound still queued when the mixing thread wakes to refill the ring, what
//    rides out a busy moment: target about 200 ms or more;
//  - the most ever queued ahead of the ear, the worst delay of a volume change
//    or a stop: target at most 232 ms;
//  - the mixer's waits and CPU time per second of sound (compare old and new
//    builds run back to back: the machine's load moves these figures).
#include "ApiHook.h"
#include "AudioEngine.h"

#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr int kWarmUpWrites = 50;
constexpr int kMeasuredWrites = 2500; // about 58 s of sound: thread times come in 10 ms steps

// Touched only by the hooks on the mixing thread until BASS_Free has ended it;
// main reads them afterwards.
std::vector<WAVEHDR*> headers; // each header the engine has written, once
std::vector<int> queuedAtWake; // headers still out when a write follows a wait
int mostQueued = 0;            // headers out once a write is done
int writes = 0;
int waits = 0;
bool waited = false;
DWORD blockFrames = 0;
HANDLE mixer = nullptr;
double cpuAtStart = 0;
double cpuAtEnd = 0;
std::atomic<bool> measured{false}; // atomic: set by the mixing thread, polled by main
void* originalWrite = nullptr;

double CpuSeconds(HANDLE thread) {
    FILETIME created, ended, kernel, user;
    GetThreadTimes(thread, &created, &ended, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

bool IsMixer() { return GetThreadPriority(GetCurrentThread()) == THREAD_PRIORITY_HIGHEST; }

int Outstanding(const WAVEHDR* except) {
    int out = 0;
    for (const WAVEHDR* h : headers) {
        const DWORD flags = *static_cast<const volatile DWORD*>(&h->dwFlags);
        out += h != except && !(flags & WHDR_DONE);
    }
    return out;
}

MMRESULT WINAPI CountedWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    if (std::find(headers.begin(), headers.end(), header) == headers.end()) {
        headers.push_back(header);
        blockFrames = header->dwBufferLength / 4;
    }
    if (mixer == nullptr) {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mixer,
                        THREAD_QUERY_INFORMATION, FALSE, 0);
    }
    ++writes;
    const bool measuring = writes > kWarmUpWrites && writes <= kWarmUpWrites + kMeasuredWrites;
    if (writes == kWarmUpWrites) {
        cpuAtStart = CpuSeconds(mixer);
    } else if (writes == kWarmUpWrites + kMeasuredWrites) {
        cpuAtEnd = CpuSeconds(mixer);
        measured.store(true, std::memory_order_release);
    }
    if (measuring && waited) {
        queuedAtWake.push_back(Outstanding(header));
    }
    waited = false;
    const MMRESULT result =
        reinterpret_cast<decltype(&waveOutWrite)>(originalWrite)(device, header, size);
    if (measuring) {
        mostQueued = std::max(mostQueued, Outstanding(nullptr));
    }
    return result;
}

DWORD WINAPI CountedWait(HANDLE handle, DWORD milliseconds) {
    if (IsMixer()) {
        waited = true;
        waits += writes > kWarmUpWrites && writes <= kWarmUpWrites + kMeasuredWrites;
    }
    return WaitForSingleObjectEx(handle, milliseconds, FALSE); // not hooked
}

} // namespace

int main() {
    std::ifstream in("Z:\\usr\\share\\games\\bomberclone\\music\\mario_is_a_weenie.xm",
                     std::ios::binary);
    std::vector<char> module((std::istreambuf_iterator<char>(in)), {});
    headers.reserve(64);
    queuedAtWake.reserve(kMeasuredWrites);
    originalWrite = HookImport("winmm.dll", "waveOutWrite", reinterpret_cast<void*>(&CountedWrite));
    const bool waitHooked =
        HookImport("kernel32.dll", "WaitForSingleObject", reinterpret_cast<void*>(&CountedWait));
    if (module.empty() || !originalWrite || !waitHooked ||
        !BASS_Init(-1, 44100, 0, nullptr, nullptr)) {
        std::printf("ring: no module, no hook or no sound device\n");
        return 1;
    }
    const HMUSIC music = BASS_MusicLoad(TRUE, module.data(), 0, static_cast<DWORD>(module.size()),
                                        0x800414, 0); // the player's, looped
    BASS_ChannelPlay(music, FALSE);
    for (int waitedMs = 0; !measured.load(std::memory_order_acquire) && waitedMs < 120000;
         waitedMs += 50) {
        Sleep(50);
    }
    BASS_Free();
    if (queuedAtWake.empty() || blockFrames == 0) {
        std::printf("ring: the mixer never woke to write\n");
        return 1;
    }
    std::sort(queuedAtWake.begin(), queuedAtWake.end());
    const double blockMs = 1000.0 * blockFrames / 44100;
    const double soundSeconds = kMeasuredWrites * blockMs / 1000;
    const double median = queuedAtWake[queuedAtWake.size() / 2] * blockMs;
    std::printf("ring: %zu buffers of %lu frames (%.1f ms)\n", headers.size(), blockFrames,
                blockMs);
    std::printf("ring: queued when the mixer wakes: median %.0f ms, lowest %.0f ms "
                "(target >= about 200): %s\n",
                median, queuedAtWake.front() * blockMs, median >= 195 ? "met" : "MISSED");
    std::printf("ring: most queued ahead of the ear (worst delay of a volume change or a stop) "
                "%.0f ms (target <= 232): %s\n",
                mostQueued * blockMs, mostQueued * blockMs <= 232.3 ? "met" : "MISSED");
    std::printf("ring: mixer waits %.1f and CPU %.1f ms per second of sound\n",
                waits / soundSeconds, 1000 * (cpuAtEnd - cpuAtStart) / soundSeconds);
    return 0;
}
