#pragma once
// The real player program, started as its own process under the same Wine, the
// ways a user reaches it (its window, controls and message boxes), and what the
// station beside it and the sound device saw (run-with-station sets STATION_PORT,
// STATION_LOG, SOUND_FILE and, for the program a user gets, SONVALE_PLAYER_EXE).

#include <windows.h>

#include <string>
#include <vector>

class PlayerProcess {
  public:
    // Starts the program: `built` (a Linux path of a player built with the tests)
    // if it is given, else SONVALE_PLAYER_EXE (a Windows path) if it is set, else
    // the one built with the tests. What is heard is counted from here on.
    explicit PlayerProcess(const char* built = nullptr);
    ~PlayerProcess(); // ends it (killed if it is still running)
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;

    // The program's main window once it is visible, or null after `timeoutMs`.
    HWND Window(DWORD timeoutMs = 15000);
    // The exit code, or -1 if the program still runs after `timeoutMs`.
    long ExitCode(DWORD timeoutMs = 10000);
    // A visible message box of the program ("Error" caption), or null.
    HWND ErrorBox();

    bool started = false;
    PROCESS_INFORMATION info = {};
};

// The child of `parent` whose top-left corner is at (x, y) of the parent's client area.
HWND ChildAt(HWND parent, int x, int y);
// Pointer input as the X server itself gives it (xdotool through XTEST), so that moves
// and buttons reach the player in one order, as from a hand: a cursor set here beside
// messages posted to the player raced the player's own echo of the move. False if
// xdotool failed.
bool Pointer(std::vector<std::string> xdotoolArgs);
// A click in the middle of the control, as a user makes it.
bool Click(HWND control);
// The window holding the mouse capture in `window`'s thread, or null.
HWND CaptureIn(HWND window);
// The text of a message box.
std::wstring BoxText(HWND box);

// A control command to the station ("reset", "fault?mode=...", "playlist?names=..."),
// and the body of its reply if `reply` is given.
bool StationControl(const std::string& command, std::string* reply = nullptr);
// The player's requests ("answer" and "module") in the station's log, in order,
// from the `from`th on; only those of `kind` if it is given.
struct StationRequest {
    std::string kind, path, agent;
    long long bytes = 0; // of the body that went out
};
std::vector<StationRequest> StationRequests(size_t from, const char* kind = nullptr);

// The sound heard since the latest PlayerProcess started (16-bit stereo, written
// at real pace, so a byte count is also a time): its bytes, and the root mean
// square of its samples from byte `from` on.
size_t CapturedBytes();
double CapturedLevel(size_t from);
// The runs of sound heard since then, as [first, end) sample indices, that at
// least 250 ms of silence set apart: the tracks, or what of them has been heard.
std::vector<std::pair<size_t, size_t>> AudibleStretches();
