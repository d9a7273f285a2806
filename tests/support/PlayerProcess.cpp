#include "PlayerProcess.h"

#include "Screen.h"
#include "UiHelpers.h"

std::wstring WinePath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p) {
        path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    return path;
}

PlayerProcess::PlayerProcess() {
    std::wstring exe = WinePath(SONVALE_EXE_PATH);
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &si, &info) != FALSE;
}

PlayerProcess::~PlayerProcess() {
    if (started) {
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info.hProcess, 99);
            WaitForSingleObject(info.hProcess, 5000);
        }
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
}

HWND PlayerProcess::Window(DWORD timeoutMs) {
    HWND found = nullptr;
    PumpUntil(
        [&] {
            for (HWND w : FindTopLevelWindows(L"Sonvale")) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid == info.dwProcessId && IsWindowVisible(w)) {
                    found = w;
                }
            }
            return found != nullptr;
        },
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
    for (HWND box : FindTopLevelWindows(L"Error", L"#32770")) {
        DWORD pid = 0;
        GetWindowThreadProcessId(box, &pid);
        if (pid == info.dwProcessId && IsWindowVisible(box)) {
            return box;
        }
    }
    return nullptr;
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

void Click(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    LPARAM at = MAKELPARAM((r.right - r.left) / 2, (r.bottom - r.top) / 2);
    PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(control, WM_LBUTTONUP, 0, at);
}

std::wstring BoxText(HWND box) {
    wchar_t text[512] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 512);
    return text;
}
