// The player's CPU time per second of play, thread by thread, against two
// references measured over the same stretches of time:
//  - the floor: a tiny program that only keeps a waveOut ring of the player's
//    shape fed with silence, which is what any player pays the platform;
//  - the limit: the floor plus the engine's own cost of decoding the very
//    stretch of music the player played (its mixing thread's CPU time, rendered
//    flat out in this process afterwards).
// Target: the player at most 1.15 x the limit. The sound device must play at
// real pace (a sound server), so that a second of play is a second of music.
//
// Both programs run side by side, so that the load of a busy machine falls on
// both alike; the windows' median decides and their range is printed.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>
#include <wininet.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "AudioEngine.h"
#include "EngineRender.h"
#include "PlayerProcess.h"
#include "Spread.h"
#include "UiHelpers.h"

namespace {

// A Windows path (Z: drive) for a path of the build machine.
std::wstring WinePath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p) {
        path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    return path;
}

constexpr int kWindows = 8;
constexpr DWORD kWindowMs = 7000;
constexpr DWORD kSampleMs = 200;
// Renders of the played stretch for its decoding cost: enough CPU time to
// dwarf the 10 ms steps of the thread clock.
constexpr int kDecodeRenders = 12;

// Real modules of a minute or more each; the windows all fall into the first,
// so that they measure play and not track changes.
const char* const kModules[] = {
    "/usr/share/games/bomberclone/music/mario_is_a_weenie.xm",
    "/usr/share/games/tecnoballz/musics/tecnoballz.mod",
    "/usr/share/games/bomberclone/music/zb-tnt.xm",
    "/usr/share/games/tecnoballz/musics/mon-lapin_reg-zbb.mod",
    "/usr/share/games/bomberclone/music/cerror-bobmberclone.xm",
};

std::string Env(const char* name) {
    const char* v = getenv(name);
    return v != nullptr ? v : "";
}

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / f.QuadPart;
}


// Puts the real modules beside the station's own and plays them in a fixed order.
bool UseRealModules() {
    const std::string folder = Env("STATION_MODULES");
    std::string names;
    for (const char* path : kModules) {
        const char* name = strrchr(path, '/') + 1;
        const std::wstring from = WinePath(path);
        const std::wstring to = std::wstring(folder.begin(), folder.end()) + L"\\" +
                                std::wstring(name, name + strlen(name));
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            return false;
        }
        names += (names.empty() ? "" : ",") + std::string(name);
    }
    return StationControl("reset") && StationControl("playlist?names=" + names);
}

// Bytes in the capture of what the sound device played so far.
long long CaptureBytes() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(Env("SOUND_FILE").c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Whether the capture holds sound after its first `from` bytes.
bool AudibleAfter(long long from) {
    std::ifstream in(Env("SOUND_FILE"), std::ios::binary);
    in.seekg(from & ~1LL);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const int16_t s = static_cast<int16_t>((bytes[i] & 0xFF) | (bytes[i + 1] << 8));
        if (s > 64 || s < -64) {
            return true;
        }
    }
    return false;
}

struct Module {
    ULONG_PTR base;
    ULONG_PTR size;
    std::string name;
};

// The modules loaded in `process`. Read once, before measuring: reading another
// process's memory stops its threads under Wine, which would count against it.
std::vector<Module> ModulesOf(HANDLE process) {
    std::vector<Module> found;
    HMODULE modules[256];
    DWORD needed = 0;
    if (!EnumProcessModules(process, modules, sizeof modules, &needed)) {
        return found;
    }
    for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 256; ++i) {
        MODULEINFO info;
        char name[MAX_PATH];
        if (GetModuleInformation(process, modules[i], &info, sizeof info) &&
            GetModuleBaseNameA(process, modules[i], name, sizeof name)) {
            found.push_back(
                {reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll), info.SizeOfImage, name});
        }
    }
    return found;
}

ULONG_PTR StartAddress(HANDLE thread) {
    using Query = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    static auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    ULONG_PTR start = 0;
    const ULONG kWin32StartAddress = 9;
    if (query == nullptr || query(thread, kWin32StartAddress, &start, sizeof start, nullptr) != 0) {
        return 0;
    }
    return start;
}

// CPU seconds of the whole process, threads that have ended included (-1 if
// the system does not say).
double ProcessSeconds(DWORD pid) {
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    static auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    const ULONG kProcessInformation = 5;
    std::vector<unsigned char> buffer(1 << 16);
    ULONG needed = 0;
    LONG status;
    while ((status = query(kProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                           &needed)) == static_cast<LONG>(0xC0000004)) { // length mismatch
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        return -1;
    }
    for (size_t at = 0;;) {
        const auto* p = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(&buffer[at]);
        if (reinterpret_cast<ULONG_PTR>(p->UniqueProcessId) == pid) {
            return (p->UserTime.QuadPart + p->KernelTime.QuadPart) / 1e7;
        }
        if (p->NextEntryOffset == 0) {
            return -1;
        }
        at += p->NextEntryOffset;
    }
}

// CPU seconds of every thread of one process over a stretch of time. Threads
// are sampled every few hundred milliseconds, so one that ends in between keeps
// what it had used up to its last sample.
class ThreadWatch {
  public:
    ThreadWatch(const std::vector<Module>& modules, DWORD pid, DWORD mainThread)
        : modules(modules), pid(pid), mainThread(mainThread) {}
    ~ThreadWatch() {
        for (auto& t : threads) {
            CloseHandle(t.second.handle);
        }
    }
    ThreadWatch(const ThreadWatch&) = delete;
    ThreadWatch& operator=(const ThreadWatch&) = delete;

    void Sample(bool baseline) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry)) {
            if (entry.th32OwnerProcessID != pid) {
                continue;
            }
            auto found = threads.find(entry.th32ThreadID);
            if (found == threads.end()) {
                HANDLE h = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
                if (h == nullptr) {
                    continue;
                }
                Thread t;
                t.handle = h;
                t.role = Role(h, entry.th32ThreadID);
                // A thread born during the measurement counts from its start.
                t.first = baseline ? bench::ThreadCpuSeconds(h) : 0;
                found = threads.emplace(entry.th32ThreadID, t).first;
            }
            found->second.last = std::max(found->second.last, bench::ThreadCpuSeconds(found->second.handle));
        }
        CloseHandle(snapshot);
    }

    // CPU seconds by role.
    std::map<std::string, double> ByRole() const {
        std::map<std::string, double> roles;
        for (const auto& t : threads) {
            roles[t.second.role] += std::max(0.0, t.second.last - t.second.first);
        }
        return roles;
    }

  private:
    struct Thread {
        HANDLE handle = nullptr;
        std::string role;
        double first = 0;
        double last = 0;
    };

    std::string Role(HANDLE thread, DWORD id) const {
        if (id == mainThread) {
            return "interface (main thread)";
        }
        // The mixing thread is the one that raises itself above normal.
        if (GetThreadPriority(thread) == THREAD_PRIORITY_HIGHEST) {
            return "mixing (priority highest)";
        }
        const ULONG_PTR start = StartAddress(thread);
        for (const Module& m : modules) {
            if (start >= m.base && start - m.base < m.size) {
                return "started in " + m.name;
            }
        }
        return "started elsewhere";
    }

    const std::vector<Module>& modules;
    DWORD pid;
    DWORD mainThread;
    std::map<DWORD, Thread> threads;
};

// CPU seconds by thread role over one or more windows of time.
struct Figures {
    double wallSeconds = 0;
    std::map<std::string, double> cpu;

    double Total() const {
        double sum = 0;
        for (const auto& r : cpu) {
            sum += r.second;
        }
        return sum;
    }
    double Percent() const { return 100 * Total() / wallSeconds; }
    void Add(const Figures& other) {
        wallSeconds += other.wallSeconds;
        for (const auto& r : other.cpu) {
            cpu[r.first] += r.second;
        }
    }
};

class Watched {
  public:
    Watched(const PROCESS_INFORMATION& info, const std::vector<Module>& modules)
        : watch(modules, info.dwProcessId, info.dwThreadId), pid(info.dwProcessId) {}

    void Begin() {
        watch.Sample(true);
        processStart = ProcessSeconds(pid);
    }
    void Sample() { watch.Sample(false); }
    Figures End(double wallSeconds) {
        Figures f;
        f.wallSeconds = wallSeconds;
        f.cpu = watch.ByRole();
        // Short-lived threads (a track's worker, WinINet's) may end between two
        // samples; the process's own figure still holds them.
        const double whole = ProcessSeconds(pid) - processStart;
        const double seen = f.Total();
        if (processStart >= 0 && whole > seen) {
            f.cpu["threads that ended between samples"] = whole - seen;
        }
        return f;
    }

  private:
    ThreadWatch watch;
    DWORD pid;
    double processStart = -1;
};

// One window of time, both programs at once.
void MeasureWindow(const PROCESS_INFORMATION& player, const std::vector<Module>& playerModules,
                   const PROCESS_INFORMATION& floor, const std::vector<Module>& floorModules,
                   Figures& playerFigures, Figures& floorFigures) {
    Watched p(player, playerModules), f(floor, floorModules);
    const double start = Now();
    p.Begin();
    f.Begin();
    while (Now() - start < kWindowMs / 1000.0) {
        Sleep(kSampleMs);
        p.Sample();
        f.Sample();
    }
    const double wall = Now() - start;
    playerFigures = p.End(wall);
    floorFigures = f.End(wall);
}

// Owns the floor program's process; ends it if it still runs.
class FloorProcess {
  public:
    explicit FloorProcess(DWORD seconds) {
        std::wstring exe = WinePath(WAVEOUT_FLOOR_EXE);
        std::wstring commandLine = L"\"" + exe + L"\" " + std::to_wstring(seconds);
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &si, &info) != FALSE;
    }
    ~FloorProcess() {
        if (started) {
            if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(info.hProcess, 99);
                WaitForSingleObject(info.hProcess, 5000);
            }
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
        }
    }
    FloorProcess(const FloorProcess&) = delete;
    FloorProcess& operator=(const FloorProcess&) = delete;

    bool started = false;
    PROCESS_INFORMATION info = {};
};

void Print(const char* name, const Figures& f) {
    printf("%-7s %5.2f %% of one core\n", name, f.Percent());
    for (const auto& r : f.cpu) {
        printf("          %5.2f %%  %s\n", 100 * r.second / f.wallSeconds, r.first.c_str());
    }
}

// The engine's CPU seconds a second of music for the stretch from `from` to
// `to` seconds into the module: the mixing thread's time, rendered as the
// player renders (flags, the gain control's DSP, volume 0.5) but flat out.
double DecodeCpuPerSecond(const char* unixPath, double from, double to) {
    const std::wstring path = WinePath(unixPath);
    const std::vector<uint8_t> module =
        bench::ReadModule(std::string(path.begin(), path.end()).c_str());
    bench::EngineRenderer renderer;
    if (module.empty() || !renderer.Ready()) {
        return -1;
    }
    const std::vector<uint8_t> padded = bench::Padded(module);
    const uint64_t skip = uint64_t(from * 44100) / bench::kBlockFrames;
    const uint64_t blocks = uint64_t(to * 44100) / bench::kBlockFrames - skip;
    double cpu = 0;
    for (int i = 0; i < kDecodeRenders; ++i) {
        const HMUSIC music = renderer.Load(padded);
        BASS_ChannelPlay(music, FALSE);
        renderer.Mix(skip);
        const double start = renderer.MixerCpuSeconds();
        renderer.Mix(blocks);
        cpu += renderer.MixerCpuSeconds() - start;
        BASS_MusicFree(music);
    }
    return cpu / kDecodeRenders / (blocks * bench::kBlockFrames / 44100.0);
}

std::string Figure(const bench::Spread& s) {
    char text[64];
    snprintf(text, sizeof text, "%.2f (windows %.2f to %.2f)", s.median, s.low, s.high);
    return text;
}

} // namespace

int main() {
    if (!UseRealModules()) {
        printf("playback cpu: the station or the real modules are missing\n");
        return 1;
    }
    std::vector<Figures> players, floors;
    double from = 0, to = 0;          // seconds into the first module
    long long captured = 0;           // capture bytes over the windows
    {
        const long long before = CaptureBytes(); // so that the first sound is the player's
        PlayerProcess player;
        if (!player.started || !PumpUntil([&] { return AudibleAfter(before); }, 30000)) {
            printf("playback cpu: the player did not play\n");
            return 1;
        }
        const double heard = Now();
        Sleep(1500); // the next track's download, then only play
        FloorProcess floor(kWindows * kWindowMs / 1000 + 5);
        Sleep(1000); // the floor's device open and first buffers
        const std::vector<Module> playerModules = ModulesOf(player.info.hProcess);
        const std::vector<Module> floorModules = ModulesOf(floor.info.hProcess);
        Sleep(500);
        from = Now() - heard;
        const long long captureStart = CaptureBytes();
        for (int w = 0; w < kWindows && floor.started; ++w) {
            Figures p, f;
            MeasureWindow(player.info, playerModules, floor.info, floorModules, p, f);
            players.push_back(p);
            floors.push_back(f);
        }
        to = Now() - heard;
        captured = CaptureBytes() - captureStart;
    }
    if (players.empty()) {
        printf("playback cpu: the floor program did not start\n");
        return 1;
    }
    const double decode = DecodeCpuPerSecond(kModules[0], from, to);
    if (decode < 0) {
        printf("playback cpu: the engine could not decode %s\n", kModules[0]);
        return 1;
    }
    Figures playerAll, floorAll;
    std::vector<double> toFloor, toLimit;
    for (size_t w = 0; w < players.size(); ++w) {
        const double limit = floors[w].Total() + decode * players[w].wallSeconds;
        toFloor.push_back(players[w].Total() / floors[w].Total());
        toLimit.push_back(players[w].Total() / limit);
        printf("%4.1f s: player %.2f %%, floor %.2f %%, limit %.2f %%: %.2f x the floor, "
               "%.2f x the limit\n",
               players[w].wallSeconds, players[w].Percent(), floors[w].Percent(),
               100 * limit / players[w].wallSeconds, toFloor.back(), toLimit.back());
        playerAll.Add(players[w]);
        floorAll.Add(floors[w]);
    }
    Print("floor", floorAll);
    Print("player", playerAll);
    printf("decoding: %.3f %% of one core (the engine flat out on seconds %.1f to %.1f of %s)\n",
           100 * decode, from, to, strrchr(kModules[0], '/') + 1);
    // Both programs play into the one device; at real pace the capture grows
    // by one second of sound a second, whoever plays.
    const double pace = captured / (44100.0 * 4) / playerAll.wallSeconds;
    if (pace > 1.5 || pace < 0.5) {
        printf("playback cpu: the sound device took %.1f s of sound a second, not one: "
               "the limit assumes real pace\n", pace);
    }
    const bench::Spread floorRatio = bench::SpreadOf(toFloor);
    const bench::Spread limitRatio = bench::SpreadOf(toLimit);
    printf("playback cpu: player = %s x the waveOut floor\n", Figure(floorRatio).c_str());
    printf("playback cpu: player = %s x the limit (floor + decoding), target <= 1.15: %s\n",
           Figure(limitRatio).c_str(), limitRatio.median <= 1.15 ? "met" : "MISSED");
    return 0;
}
