#include "PlayerProcess.h"

#include <wininet.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "Screen.h"
#include "UiHelpers.h"

namespace {
std::string Env(const char* name) {
    const char* v = getenv(name);
    return v != nullptr ? v : "";
}

// The value of "key": "..." in one line of the station's JSON log (no escapes in
// what the tests look for).
std::string Field(const std::string& line, const std::string& key) {
    size_t at = line.find("\"" + key + "\": \"");
    if (at == std::string::npos) {
        return "";
    }
    at += key.size() + 5;
    return line.substr(at, line.find('"', at) - at);
}

HWND OwnWindow(DWORD pid, const wchar_t* caption, const wchar_t* cls = nullptr) {
    for (HWND w : FindTopLevelWindows(caption, cls)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == pid && IsWindowVisible(w)) {
            return w;
        }
    }
    return nullptr;
}

size_t CaptureSize() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(Env("SOUND_FILE").c_str(), GetFileExInfoStandard, &data)
               ? data.nFileSizeLow
               : 0;
}

// The capture holds the whole run: the byte at which the latest player started.
size_t captureOrigin = 0;
} // namespace

PlayerProcess::PlayerProcess(const char* built) {
    std::wstring exe = L"Z:";
    for (const char* p = built != nullptr ? built : SONVALE_EXE_PATH; *p; ++p) {
        exe += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    const char* shipped = getenv("SONVALE_PLAYER_EXE");
    if (built == nullptr && shipped != nullptr) {
        exe.assign(shipped, shipped + strlen(shipped));
    }
    captureOrigin = CaptureSize() & ~size_t(3); // on a frame
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &si, &info) != FALSE;
}

PlayerProcess::~PlayerProcess() {
    if (started) {
        TerminateProcess(info.hProcess, 99); // fails harmlessly once it has ended
        WaitForSingleObject(info.hProcess, 5000);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
}

HWND PlayerProcess::Window(DWORD timeoutMs) {
    HWND found = nullptr;
    PumpUntil([&] { return (found = OwnWindow(info.dwProcessId, L"Sonvale")) != nullptr; },
              timeoutMs);
    return found;
}

long PlayerProcess::ExitCode(DWORD timeoutMs) {
    if (WaitForSingleObject(info.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    return static_cast<long>(code);
}

HWND PlayerProcess::ErrorBox() {
    return OwnWindow(info.dwProcessId, L"Error", L"#32770");
}

HWND ChildAt(HWND parent, int x, int y) {
    for (HWND child : ChildWindows(parent)) {
        RECT r = RectInParent(child, parent);
        if (r.left == x && r.top == y) {
            return child;
        }
    }
    return nullptr;
}

bool Pointer(std::vector<std::string> xdotoolArgs) {
    // Wine's ntdll starts a program of the machine itself and waits for its exit code.
    using Spawn = LONG(WINAPI*)(char* const* argv, int wait);
    static const auto spawn = reinterpret_cast<Spawn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
    std::vector<char*> argv = {const_cast<char*>("xdotool")};
    for (std::string& arg : xdotoolArgs) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return spawn != nullptr && spawn(argv.data(), TRUE) == 0;
}

bool Click(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    return Pointer({"mousemove", std::to_string((r.left + r.right) / 2),
                    std::to_string((r.top + r.bottom) / 2), "click", "1"});
}

HWND CaptureIn(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndCapture
                                                                              : nullptr;
}

std::wstring BoxText(HWND box) {
    wchar_t text[512] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 512);
    return text;
}

bool StationControl(const std::string& command, std::string* reply) {
    std::string url = "http://127.0.0.1:" + Env("STATION_PORT") + "/control/" + command;
    HINTERNET session = InternetOpenA("station-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    DWORD status = 0, size = sizeof(status);
    bool ok = request != nullptr &&
              HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                             &size, nullptr) &&
              status == 200;
    std::string ignored, &body = reply != nullptr ? *reply : ignored;
    body.clear();
    char piece[256];
    while (ok && InternetReadFile(request, piece, sizeof(piece), &size) && size > 0) {
        body.append(piece, size);
    }
    InternetCloseHandle(request); // null is refused harmlessly
    InternetCloseHandle(session);
    return ok;
}

std::vector<StationRequest> StationRequests(size_t from, const char* kind) {
    std::ifstream in(Env("STATION_LOG"));
    std::vector<StationRequest> found;
    size_t n = 0;
    for (std::string line; std::getline(in, line);) {
        StationRequest r = {Field(line, "kind"), Field(line, "path"), Field(line, "agent")};
        size_t bytes = line.find("\"bytes\": ");
        r.bytes = bytes == std::string::npos ? 0 : atoll(line.c_str() + bytes + 9);
        if ((r.kind == "answer" || r.kind == "module") && n++ >= from &&
            (kind == nullptr || r.kind == kind)) {
            found.push_back(r);
        }
    }
    return found;
}

size_t CapturedBytes() {
    size_t size = CaptureSize();
    return size > captureOrigin ? size - captureOrigin : 0;
}

// Calls `each` with every sample of the capture from byte `from` on, and its index.
template <typename F> void ForEachSample(size_t from, F each) {
    std::ifstream in(Env("SOUND_FILE"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(captureOrigin + (from & ~size_t(1))));
    std::vector<int16_t> piece(65536);
    for (size_t at = from / 2; in.read(reinterpret_cast<char*>(piece.data()), piece.size() * 2) ||
                               in.gcount() > 1;
         at += piece.size()) {
        for (size_t j = 0; j < static_cast<size_t>(in.gcount()) / 2; ++j) {
            each(at + j, piece[j]);
        }
    }
}

double CapturedLevel(size_t from) {
    double sum = 0;
    size_t n = 0;
    ForEachSample(from, [&](size_t, int16_t s) {
        sum += static_cast<double>(s) * s;
        ++n;
    });
    return n > 0 ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
}

std::vector<std::pair<size_t, size_t>> AudibleStretches() {
    std::vector<std::pair<size_t, size_t>> stretches;
    ForEachSample(0, [&](size_t i, int16_t s) {
        if (s > 100 || s < -100) {
            // 22050 samples: 250 ms of stereo sound at 44.1 kHz, longer than a busy
            // machine's stall, shorter than the silence between tracks.
            if (stretches.empty() || i - stretches.back().second > 22050) {
                stretches.push_back({i, i});
            }
            stretches.back().second = i + 1;
        }
    });
    return stretches;
}
