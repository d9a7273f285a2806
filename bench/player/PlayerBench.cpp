// The player's timings against references measured in the same run: start-up
// against a program that only shows a window of the player's size, opens the
// sound device and writes a block (and the same without the window), track
// changes against loading the module from memory, a 1 MiB download against
// reading the same bytes from a file, and how fast closing ends the program. Then
// the memory a track leaves behind in the player, against a program that does only
// what Wine does for a track (requests, a new thread, a repaint, the sound device).
// Figures that a busy machine moves are taken many times, interleaved with their
// reference, and given as median and range.
#include <windows.h>

#include <wininet.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <psapi.h>

#include "AudioEngine.h"
#include "EngineRender.h"
#include "InternetReader.h"
#include "PlayerProcess.h"
#include "Screen.h"
#include "Spread.h"
#include "UiHelpers.h"

namespace {

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / f.QuadPart;
}

std::string Env(const char* name) {
    const char* v = getenv(name);
    return v != nullptr ? v : "";
}

std::wstring Widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}


// Bytes of the capture file up to its first sample that is not silence, or -1.
long FirstAudibleByte(size_t from) {
    std::ifstream in(Env("SOUND_FILE"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from & ~size_t(1)));
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        int16_t s = static_cast<int16_t>((bytes[i] & 0xFF) | (bytes[i + 1] << 8));
        if (s > 64 || s < -64) {
            return static_cast<long>((from & ~size_t(1)) + i);
        }
    }
    return -1;
}

size_t CaptureBytes() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(Env("SOUND_FILE").c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return data.nFileSizeLow;
}

std::string Figure(const bench::Spread& s, double scale, const char* format) {
    char text[96];
    std::string f = std::string(format) + " (" + format + " to " + format + ")";
    snprintf(text, sizeof text, f.c_str(), s.median * scale, s.low * scale, s.high * scale);
    return text;
}

std::vector<char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
}

// CPU seconds to load `module` from memory with the engine (no sound device):
// the median of rounds of loads long enough for the thread clock's 10 ms steps.
double LoadSeconds(const std::vector<char>& module) {
    std::vector<unsigned char> buffer(0x100000, 0);
    memcpy(buffer.data(), module.data(), module.size());
    BASS_Init(0, 44100, 0, nullptr, nullptr);
    std::vector<double> rounds;
    for (int round = 0; round < 5; ++round) {
        const int loads = 300;
        const double start = bench::ThreadCpuSeconds(GetCurrentThread());
        for (int i = 0; i < loads; ++i) {
            BASS_MusicFree(BASS_MusicLoad(TRUE, buffer.data(), 0, 0x100000, 0x880410, 0));
        }
        rounds.push_back((bench::ThreadCpuSeconds(GetCurrentThread()) - start) / loads);
    }
    BASS_Free();
    return bench::SpreadOf(rounds).median;
}

// Seconds from `start` until the capture holds sound after byte `before`, or 1e9.
double UntilAudible(double start, size_t before) {
    double audible = 1e9;
    PumpUntil(
        [&] {
            if (FirstAudibleByte(before) >= 0) {
                audible = Now() - start;
            }
            return audible < 1e9;
        },
        30000);
    return audible;
}

// A floor of launch to sound: a program that only opens the sound device and
// writes one loud block ("--one-block"), or first creates and shows a window of
// the player's size, as the player must ("--window-block"). Ends by itself once
// the block has played.
void LaunchFloor(std::vector<double>& seconds, const wchar_t* mode) {
    std::wstring exe = L"Z:";
    for (const char* p = WAVEOUT_FLOOR_EXE; *p; ++p) {
        exe += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    std::wstring line = L"\"" + exe + L"\" " + mode;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION bare = {};
    const size_t before = CaptureBytes();
    const double start = Now();
    if (!CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &bare)) {
        seconds.push_back(1e9);
        return;
    }
    seconds.push_back(UntilAudible(start, before));
    WaitForSingleObject(bare.hProcess, 5000);
    CloseHandle(bare.hThread);
    CloseHandle(bare.hProcess);
}

// Launch to the first audible block, the player's against the floors', in turns;
// the player of the last turn plays on for the track change. The player is judged
// against the windowed floor: its window comes before its sound.
void StartUpAndSwitch(double loadSeconds) {
    constexpr int kTurns = 15;
    std::vector<double> console, floor, launch, turns;
    std::unique_ptr<PlayerProcess> player;
    for (int turn = 0; turn < kTurns; ++turn) {
        player.reset();
        Sleep(500); // what the ended player had sent the server has been heard
        LaunchFloor(console, L"--one-block");
        Sleep(200);
        LaunchFloor(floor, L"--window-block");
        StationControl("reset");
        StationControl("playlist?names=first.mod,second.mod,third.mod");
        const size_t before = CaptureBytes(); // what earlier programs played
        const double start = Now();
        player = std::make_unique<PlayerProcess>();
        launch.push_back(UntilAudible(start, before));
        turns.push_back(launch.back() - floor.back());
    }
    const bench::Spread own = bench::SpreadOf(launch), bare = bench::SpreadOf(console),
                        windowed = bench::SpreadOf(floor), turn = bench::SpreadOf(turns);
    const double beyond = own.median - windowed.median;
    printf("start: floors: a program that only opens the device and writes one block %s ms; one "
           "that first creates and shows a window of the player's size %s ms\n",
           Figure(bare, 1e3, "%.0f").c_str(), Figure(windowed, 1e3, "%.0f").c_str());
    printf("start: launch to the first audible block %s ms = %.2f x the windowed floor: %.0f ms "
           "beyond it (%.0f to %.0f turn by turn), target <= 100: %s; %.0f ms beyond the console "
           "floor; median (range) of %d\n",
           Figure(own, 1e3, "%.0f").c_str(), own.median / windowed.median, beyond * 1e3,
           turn.low * 1e3, turn.high * 1e3, beyond <= 0.1 ? "met" : "MISSED",
           (own.median - bare.median) * 1e3, kTurns);
    // A track change: from the moment the sound stops to the next audible sample.
    // Only the new part of the capture: a sound server's capture grows all along.
    auto level = [](size_t from, size_t to) {
        from &= ~size_t(1);
        std::ifstream in(Env("SOUND_FILE"), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from));
        std::vector<char> b(to > from ? to - from : 0);
        in.read(b.data(), static_cast<std::streamsize>(b.size()));
        b.resize(static_cast<size_t>(in.gcount()));
        double sum = 0;
        size_t n = 0;
        for (size_t i = 0; i + 1 < b.size(); i += 2, ++n) {
            int16_t s = static_cast<int16_t>((b[i] & 0xFF) | (b[i + 1] << 8));
            sum += double(s) * s;
        }
        return n ? std::sqrt(sum / n) : 0.0;
    };
    size_t last = CaptureBytes();
    double silentSince = -1, gap = -1;
    PumpUntil(
        [&] {
            size_t now = CaptureBytes();
            double l = level(last, now);
            if (silentSince < 0 && now > last && l < 1.0) {
                silentSince = Now();
            } else if (silentSince >= 0 && l > 50.0) {
                gap = Now() - silentSince;
            }
            last = now;
            Sleep(5);
            return gap >= 0;
        },
        20000);
    printf("switch: silence between two tracks %.0f ms (the end-of-track poll is every 2000 ms): "
           "%.0f ms beyond the poll at most, %.0f x loading the module\n",
           gap * 1000, std::max(0.0, gap - 2.0) * 1000, gap / loadSeconds);
}

// Fetches of 1 MiB over loopback, each followed by a read of the same bytes
// from a file: wall time, as a user waits for it.
void Download() {
    StationControl("reset");
    StationControl("fault?mode=module-1mib");
    HINTERNET session = OpenInternetSession();
    std::atomic<bool> stop{false};
    std::vector<unsigned char> buffer(0x100000);
    char path[MAX_PATH];
    GetTempPathA(MAX_PATH, path);
    const std::string file = std::string(path) + "sonvale-bench.bin";
    std::vector<double> fetches, reads, ratios;
    DWORD total = 0;
    for (int i = 0; i < 25; ++i) {
        InternetReader reader;
        std::wstring url = Widen("http://127.0.0.1:" + Env("STATION_PORT") + "/xm/first.mod");
        double t = Now();
        reader.Open(session, url.c_str(), 0x04400000, stop);
        total = 0;
        DWORD n = 0;
        while (total < buffer.size() && reader.Read(buffer.data() + total, 1024, &n, stop) &&
               n > 0) {
            total += n;
        }
        reader.Close();
        fetches.push_back(Now() - t);
        if (i == 0) {
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<char*>(buffer.data()), total);
        }
        t = Now();
        HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD got = 0;
        while (ReadFile(h, buffer.data() + got, 1024, &n, nullptr) && n > 0) {
            got += n;
        }
        CloseHandle(h);
        reads.push_back(Now() - t);
        ratios.push_back(fetches.back() / reads.back());
    }
    CloseInternetSession(session);
    DeleteFileA(file.c_str());
    printf("fetch: %lu bytes over loopback in %s ms = %s x reading them from a file (%s ms); "
           "median (range) of %zu\n",
           total, Figure(bench::SpreadOf(fetches), 1e3, "%.1f").c_str(),
           Figure(bench::SpreadOf(ratios), 1, "%.1f").c_str(),
           Figure(bench::SpreadOf(reads), 1e3, "%.2f").c_str(), fetches.size());
}

// Seconds from the click on the close button to the program's exit.
double CloseLatency(const char* fault, bool waitForBox) {
    StationControl("reset");
    StationControl("playlist?names=long.mod,second.mod");
    if (fault != nullptr) {
        StationControl(fault);
    }
    PlayerProcess player;
    HWND window = player.Window();
    if (waitForBox) {
        HWND box = nullptr;
        PumpUntil([&] { return (box = player.ErrorBox()) != nullptr; }, 20000);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    PumpMessages(2500);
    // Pressed, then timed from the release: starting xdotool takes about 100 ms, and
    // the release has reached the X server once xdotool has ended.
    HWND close = ChildAt(window, 380, 15);
    RECT r = {};
    GetWindowRect(close, &r);
    Pointer({"mousemove", std::to_string(r.left + 7), std::to_string(r.top + 8), "mousedown", "1"});
    PumpUntil([&] { return CaptureIn(close) == close; }, 5000);
    Pointer({"mouseup", "1"});
    double t = Now();
    const long code = player.ExitCode(10000);
    const double seconds = Now() - t;
    StationControl("release");
    return code == -1 ? 1e9 : seconds;
}

void CloseLatencies() {
    struct State {
        const char* name;
        const char* fault;
        bool waitForBox;
        std::vector<double> seconds;
    } states[] = {{"idle (halted)", "fault?mode=answer-empty", true, {}},
                  {"during play", nullptr, false, {}},
                  {"during a stalled download", "fault?mode=module-stall", false, {}},
                  // A refused body sent without end, which Wine reads out on its close.
                  {"as a refused body reads out", "fault?mode=module-huge", true, {}},
                  {"during endless headers", "fault?mode=module-headers", false, {}}};
    for (int round = 0; round < 3; ++round) {
        for (State& s : states) {
            s.seconds.push_back(CloseLatency(s.fault, s.waitForBox));
        }
    }
    for (const State& s : states) {
        const bench::Spread spread = bench::SpreadOf(s.seconds);
        printf("close: %-27s %s ms to exit, target < 100 ms: %s\n", s.name,
               Figure(spread, 1e3, "%.0f").c_str(), spread.median < 0.1 ? "met" : "MISSED");
    }
}

// Resident memory of another process, as its task manager would show it.
double ResidentKb(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(process, &counters, sizeof(counters));
    return counters.WorkingSetSize / 1024.0;
}

// Growth of `process`'s resident memory a track: the slope of a straight line
// through one reading a track (tracks counted by the module requests the station
// sees) from the 10th track on, which a single large block that comes and goes
// moves far less than it moves the difference of two readings.
double GrowthPerTrack(HANDLE process, int tracks) {
    const size_t from = StationRequests(0).size();
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t track = 10; track < size_t(10 + tracks); ++track) {
        if (!PumpUntil([&] { return StationRequests(from, "module").size() >= track; }, 60000)) {
            break;
        }
        const double x = static_cast<double>(track), y = ResidentKb(process);
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    return n > 1 ? (n * sxy - sx * sy) / (n * sxx - sx * sx) : 0.0;
}

// The same Wine-side work in a child process of this benchmark: each track on a
// thread of its own, as the player does it, or all on one thread.
double WineSideGrowth(int tracks, const wchar_t* mode) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" --wine-side " + mode;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION child = {};
    double growth = 0;
    if (CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &child)) {
        growth = GrowthPerTrack(child.hProcess, tracks);
        TerminateProcess(child.hProcess, 0);
        WaitForSingleObject(child.hProcess, 5000);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    return growth;
}

void Creep(int tracks) {
    std::string names = "playlist?names=";
    for (int i = 1; i <= 60; ++i) {
        char name[32];
        snprintf(name, sizeof(name), "%ssoak%02d.mod", i > 1 ? "," : "", i);
        names += name;
    }
    struct Run {
        const char* what;
        double growth;
    } runs[] = {{"player", 0}, {"Wine-side work, a thread a track", 0},
                {"Wine-side work, one thread", 0}};
    for (int i = 0; i < 3; ++i) {
        StationControl("reset");
        StationControl(names);
        if (i == 0) {
            PlayerProcess program;
            runs[i].growth = GrowthPerTrack(program.info.hProcess, tracks);
        } else {
            runs[i].growth = WineSideGrowth(tracks, i == 1 ? L"threads" : L"one-thread");
        }
        printf("creep: %-34s resident memory a track over %d tracks: %+6.2f kB\n", runs[i].what,
               tracks, runs[i].growth);
    }
}

// What Wine does for one track, without the player: a thread asks the station for
// a name and downloads that module into a 1 MiB buffer (with the transport the
// player uses), a text window is repainted, and the sound device plays all along;
// a track every 2 s, until ended.
struct WineSideJob {
    HINTERNET root;
    unsigned char* buffer;
};

DWORD WINAPI WineSideTrack(LPVOID param) {
    auto* job = static_cast<WineSideJob*>(param);
    std::atomic<bool> stop{false};
    std::string name;
    for (int request = 0; request < 2; ++request) {
        std::wstring url = Widen("http://127.0.0.1:" + Env("STATION_PORT") + "/xm/" +
                                 (request == 0 ? "request.php" : name));
        InternetReader reader;
        DWORD total = 0, n = 0;
        if (reader.Open(job->root, url.c_str(), 0x04400000, stop)) {
            while (total < 0x100000 - 1024 && reader.Read(job->buffer + total, 1024, &n, stop) &&
                   n > 0) {
                total += n;
            }
        }
        name.assign(reinterpret_cast<char*>(job->buffer), total);
    }
    return 0;
}

int WineSideLoop(bool threadPerTrack) {
    BASS_Init(-1, 44100, 0, nullptr, nullptr);
    HWND text = CreateWindowW(L"STATIC", L"???", WS_POPUP | WS_VISIBLE, 0, 0, 200, 20, nullptr,
                              nullptr, nullptr, nullptr);
    static unsigned char buffer[0x100000];
    WineSideJob job = {OpenInternetSession(), buffer};
    for (int i = 0;; ++i) {
        if (threadPerTrack) {
            HANDLE thread = CreateThread(nullptr, 0, WineSideTrack, &job, 0, nullptr);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        } else {
            WineSideTrack(&job);
        }
        SetWindowTextW(text, i % 2 ? L"Soak" : L"buffering...");
        PumpMessages(2000);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--wine-side") {
        return WineSideLoop(std::string(argv[2]) == "threads");
    }
    std::string modules = Env("STATION_MODULES");
    double load = LoadSeconds(ReadAll(modules + "/first.mod"));
    StartUpAndSwitch(load);
    Download();
    CloseLatencies();
    Creep(30);
    return 0;
}
