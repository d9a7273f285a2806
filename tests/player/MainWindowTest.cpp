// The main window built in this process beside the test station, with some of
// its calls to the system passed through wrappers of the test.
#include "MainWindow.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "ApiHook.h"
#include "KMessageLoop.h"
#include "PlayerProcess.h"
#include "PlayerResources.h"
#include "SonvaleApp.h"
#include "TrackBuffers.h"
#include "UiHelpers.h"

namespace {

std::atomic<int> workerStarts{0};       // CreateThread calls for a worker
std::atomic<int> refusedStart{-1};      // the number of the worker start to refuse
std::atomic<bool> delayArmed{false};    // hold up the next worker that asks for the timer
std::atomic<int> startsDuringDelay{-1}; // worker starts while it was held up
std::atomic<bool> refuseInternet{false};
std::atomic<unsigned> bytesRead{0}; // what InternetReadFile delivered at once
decltype(&::CreateThread) realCreateThread;
decltype(&::PostMessageW) realPostMessageW;
decltype(&::InternetOpenW) realInternetOpenW;
decltype(&::InternetReadFile) realInternetReadFile;

HANDLE WINAPI TestCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                               LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                               LPDWORD id) {
    if (start == ThreadEntryProc && workerStarts++ == refusedStart) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return realCreateThread(security, stack, start, param, flags, id);
}

// A worker asks the window's thread for the timer by a posted message; held up
// right after it (a busy machine), the worker still runs.
BOOL WINAPI TestPostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    BOOL posted = realPostMessageW(window, message, wParam, lParam);
    if (GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId() &&
        delayArmed.exchange(false)) {
        const int before = workerStarts;
        Sleep(5000); // past two ticks, and past the end of the short track
        startsDuringDelay = workerStarts - before;
    }
    return posted;
}

HINTERNET WINAPI TestInternetOpenW(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass,
                                   DWORD flags) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY); // what a refusal leaves
    return refuseInternet ? nullptr : realInternetOpenW(agent, access, proxy, bypass, flags);
}

// The reader asks for no more than is buffered, which WinINet delivers at once.
BOOL WINAPI TestInternetReadFile(HINTERNET request, void* buffer, DWORD size, DWORD* count) {
    const BOOL done = realInternetReadFile(request, buffer, size, count);
    bytesRead += done ? *count : 0;
    return done;
}

class MainWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CreatePlayerResources();
        // The wrappers pass calls through unless a case asks otherwise, for the whole program.
        realCreateThread = HookImport("kernel32.dll", "CreateThread", &TestCreateThread);
        realPostMessageW = HookImport("user32.dll", "PostMessageW", &TestPostMessageW);
        realInternetOpenW = HookImport("wininet.dll", "InternetOpenW", &TestInternetOpenW);
        realInternetReadFile = HookImport("wininet.dll", "InternetReadFile", &TestInternetReadFile);
    }
    static void TearDownTestSuite() { ReleasePlayerResources(); }
    void SetUp() override {
        ASSERT_TRUE(realCreateThread && realPostMessageW && realInternetOpenW &&
                    realInternetReadFile);
        workerStarts = 0;
        refusedStart = -1;
        delayArmed = refuseInternet = false;
        // Short tracks that load: the cycle changes track every few seconds.
        ASSERT_NE(getenv("STATION_PORT"), nullptr) << "run beside the station";
        ASSERT_TRUE(StationControl("reset") &&
                    StationControl("playlist?names=first.mod,second.mod,third.mod,fourth.mod"))
            << "the station is not there";
    }
    // Whatever a check did, the window closes, and its worker with it; then the
    // first track buffer is the program's own again.
    void TearDown() override {
        Close();
        if (ownBufferA != nullptr) {
            VirtualFree(std::exchange(trackBufferA, ownBufferA), 0, MEM_RELEASE);
            ownBufferA = nullptr;
        }
    }
    // The first track buffer (the first fetch's) ends where a page begins that the
    // program may not touch.
    void GuardFirstTrackBuffer() {
        auto* guarded = static_cast<unsigned char*>(VirtualAlloc(
            nullptr, trackBufferSize + 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        ASSERT_TRUE(guarded != nullptr &&
                    VirtualProtect(guarded + trackBufferSize, 4096, PAGE_NOACCESS, &old));
        ownBufferA = std::exchange(trackBufferA, guarded);
    }
    MainWindow& Open() {
        window.reset(new MainWindow);
        window->SetVisible(true);
        return *window;
    }
    void Close() {
        if (window != nullptr && IsWindow(window->GetHWND())) {
            PostMessageW(window->GetHWND(), WM_CLOSE, 0, 0);
            RunMessageLoop();
        }
        window.reset();
    }
    std::unique_ptr<MainWindow> window;
    unsigned char* ownBufferA = nullptr; // the program's, while the test's stands in
};

TEST_F(MainWindowTest, TickDoesNotStartAWorkerWhileOneIsLateToFinish) {
    delayArmed = true;
    Open();
    ASSERT_TRUE(PumpUntil([] { return startsDuringDelay >= 0; }, 30000));
    EXPECT_EQ(startsDuringDelay, 0) << "a second worker ran beside the first";
    EXPECT_TRUE(PumpUntil([] { return workerStarts >= 2; }, 10000)) << "the next tick starts it";
}

TEST_F(MainWindowTest, RefusedWorkerIsTriedAgainAtTheNextTick) {
    refusedStart = 1; // at the first change of track
    Open();
    EXPECT_TRUE(PumpUntil([] { return workerStarts >= 3; }, 20000));
}

// Reads and answers the error box of this thread from inside the box's own loop.
wchar_t boxText[64];
HWND boxOwner = nullptr;
void CALLBACK AnswerErrorBox(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = FindWindowW(L"#32770", L"Error");
    if (box != nullptr && GetWindowThreadProcessId(box, nullptr) == GetCurrentThreadId()) {
        GetDlgItemTextW(box, 0xFFFF, boxText, 64);
        boxOwner = GetWindow(box, GW_OWNER);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
}

TEST_F(MainWindowTest, FailedInternetOpenShowsConnectionErrorAndStaysIdle) {
    refuseInternet = true;
    UINT_PTR answerer = SetTimer(nullptr, 0, 50, AnswerErrorBox);
    MainWindow& w = Open(); // the box is shown and answered in the constructor
    KillTimer(nullptr, answerer);
    EXPECT_STREQ(boxText, L"Connection error!");
    EXPECT_EQ(boxOwner, w.GetHWND());
    PumpMessages(2500); // more than a tick
    EXPECT_EQ(workerStarts, 0) << "no worker is started, now or at a tick";
}

// The interface thread is a single-threaded COM apartment while the window runs
// (the link label's ShellExecuteW asks for one) and is left uninitialised after.
HRESULT comWhileRunning = E_FAIL;
void CALLBACK ProbeApartmentAndClose(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    comWhileRunning = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(comWhileRunning)) {
        CoUninitialize();
    }
    PostMessageW(FindWindowW(nullptr, L"Sonvale"), WM_CLOSE, 0, 0);
}

TEST_F(MainWindowTest, WindowRunsInASingleThreadedApartment) {
    SetTimer(nullptr, 0, 100, ProbeApartmentAndClose);
    RunMainWindow();
    EXPECT_EQ(comWhileRunning, RPC_E_CHANGED_MODE);
    const HRESULT after = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(after, S_OK) << "the apartment is not left behind";
    if (SUCCEEDED(after)) {
        CoUninitialize();
    }
}

// Buffer B holds 4096 bytes the engine refuses, then third.mod, which is shorter:
// behind its bytes lie zeros, not the old file's tail.
TEST_F(MainWindowTest, ShorterModuleLeavesZerosWhereALongerOneLayInItsBuffer) {
    ASSERT_TRUE(StationControl("playlist?names=first.mod,broken.mod,second.mod,third.mod"));
    std::ifstream file(std::string(getenv("STATION_MODULES")) + "\\third.mod", std::ios::binary);
    const std::string third{std::istreambuf_iterator<char>(file), {}};
    ASSERT_GT(third.size(), 1000u);
    ASSERT_LT(third.size(), 4096u);
    Open();
    // The third worker plays second.mod from A and refills B.
    ASSERT_TRUE(PumpUntil([&] { return workerStarts >= 3 && !window->IsThreadRunning(); }, 30000));
    EXPECT_EQ(memcmp(trackBufferB, third.data(), third.size()), 0);
    EXPECT_EQ(static_cast<size_t>(std::count(trackBufferB + third.size(),
                                             trackBufferB + trackBufferSize, 0)),
              trackBufferSize - third.size());
}

// A module too large for its buffer gives the download box. Announced, none of it
// is read; chunked or ended by the close, the reads stop at the buffer's end.
TEST_F(MainWindowTest, ModuleLargerThanItsBufferGivesTheBoxUnreadOrReadToTheEndOnly) {
    // The fault, and the most bytes InternetReadFile delivers, the answer's included.
    const std::pair<const char*, unsigned> cases[] = {
        {"module-oversize", 1024},
        {"module-oversize&size=1200000&length=none&coding=chunked", trackBufferSize + 2048},
        {"module-oversize&size=1200000&length=none", trackBufferSize + 2048},
    };
    GuardFirstTrackBuffer();
    for (const auto& [fault, mostRead] : cases) {
        SCOPED_TRACE(fault);
        ASSERT_TRUE(StationControl(std::string("fault?mode=") + fault));
        bytesRead = 0;
        Open();
        HWND box = nullptr;
        PumpUntil([&] { return (box = FindWindowW(L"#32770", L"Error")) != nullptr; }, 20000);
        EXPECT_EQ(BoxText(box), L"Cannot download file! \n\nMake sure that your firewall is not "
                                L"blocking this application!");
        EXPECT_LE(bytesRead.load(), mostRead);
        Close();
    }
}

} // namespace
