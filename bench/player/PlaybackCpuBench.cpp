// The player's CPU time per second of play, thread by thread, against a floor
// program measured at the same time: a tiny program that only keeps a waveOut
// ring of the player's shape fed with silence, which is what any player pays
// the platform. Target: the player at most 1.3 x the floor.
//
// Both run side by side over the same stretches of time, so that the load of a
// busy machine falls on both alike. (Both play into the run's one sound server,
// at real pace, so what lands in the capture meanwhile is a mix; only the CPU counts.)
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

#include "PlayerProcess.h"
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

constexpr int kWindows = 4;
constexpr DWORD kWindowMs = 10000;
constexpr DWORD kSampleMs = 200;

// Real modules of a minute or more each; the file device plays them about four
// times faster than real time, so the measurement spans track changes.
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

// The capture holds the whole run: the player's sound starts at this byte.
std::streamoff heardFrom = 0;

bool Audible() {
    std::ifstream in(Env("SOUND_FILE"), std::ios::binary);
    in.seekg(heardFrom);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const int16_t s = static_cast<int16_t>((bytes[i] & 0xFF) | (bytes[i + 1] << 8));
        if (s > 64 || s < -64) {
            return true;
        }
    }
    return false;
}

double ThreadSeconds(HANDLE thread) {
    FILETIME created, ended, kernel, user;
    if (!GetThreadTimes(thread, &created, &ended, &kernel, &user)) {
        return 0;
    }
    auto seconds = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
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
                t.first = baseline ? ThreadSeconds(h) : 0;
                found = threads.emplace(entry.th32ThreadID, t).first;
            }
            found->second.last = std::max(found->second.last, ThreadSeconds(found->second.handle));
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

} // namespace

int main() {
    if (!UseRealModules()) {
        printf("playback cpu: the station or the real modules are missing\n");
        return 1;
    }
    heardFrom = std::ifstream(Env("SOUND_FILE"), std::ios::binary | std::ios::ate).tellg() & ~1;
    PlayerProcess player;
    if (!player.started || !PumpUntil([] { return Audible(); }, 30000)) {
        printf("playback cpu: the player did not play\n");
        return 1;
    }
    Sleep(1500); // the next track's download, then only play
    FloorProcess floor(kWindows * kWindowMs / 1000 + 5);
    Sleep(1000); // the floor's device open and first buffers
    const std::vector<Module> playerModules = ModulesOf(player.info.hProcess);
    const std::vector<Module> floorModules = ModulesOf(floor.info.hProcess);
    Sleep(500);
    Figures playerAll, floorAll;
    std::vector<double> ratios;
    for (int w = 0; w < kWindows && floor.started; ++w) {
        Figures p, f;
        MeasureWindow(player.info, playerModules, floor.info, floorModules, p, f);
        ratios.push_back(p.Percent() / f.Percent());
        printf("%2.0f s: player %.2f %%, floor %.2f %%: ratio %.2f\n", kWindowMs / 1000.0,
               p.Percent(), f.Percent(), ratios.back());
        playerAll.Add(p);
        floorAll.Add(f);
    }
    if (ratios.empty()) {
        printf("playback cpu: the floor program did not start\n");
        return 1;
    }
    Print("floor", floorAll);
    Print("player", playerAll);
    std::sort(ratios.begin(), ratios.end());
    const double ratio = playerAll.Percent() / floorAll.Percent();
    printf("playback cpu: player = %.2f x the waveOut floor (windows %.2f to %.2f), "
           "target <= 1.3: %s\n",
           ratio, ratios.front(), ratios.back(), ratio <= 1.3 ? "met" : "MISSED");
    return 0;
}
