#pragma once
// The real player program, started as its own process under the same Wine, and
// the ways a user reaches it: its window, its controls, its message boxes.

#include <windows.h>

#include <string>

// A Windows path (Z: drive) for a path of the build machine.
std::wstring WinePath(const char* unixPath);

class PlayerProcess {
  public:
    PlayerProcess();  // starts the program built with the tests
    ~PlayerProcess(); // ends it (killed if it is still running)
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;

    // The program's main window once it is visible, or null after `timeoutMs`.
    HWND Window(DWORD timeoutMs = 15000);
    // The exit code, or -1 if the program still runs after `timeoutMs`.
    long ExitCode(DWORD timeoutMs = 10000);
    // The first message box of the program ("Error" caption), or null.
    HWND ErrorBox();
    DWORD Id() const { return info.dwProcessId; }

    bool started = false;
    PROCESS_INFORMATION info = {};
};

// The child of `parent` whose top-left corner is at (x, y) of the parent's client area.
HWND ChildAt(HWND parent, int x, int y);
// A click as a user makes it: the pointer moves onto the control, then the button
// goes down and up there (the controls read the real pointer position).
void Click(HWND control);
// The text of a message box.
std::wstring BoxText(HWND box);
