// The main window built in this process as RunMainWindow builds it, beside the
// test station, so that the test can look at its members and pass its calls to
// the system through wrappers of its own.
#include "MainWindow.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Agc.h"
#include "ApiHook.h"
#include "KMessageLoop.h"
#include "ObjectCounter.h"
#include "PlayerResources.h"
#include "Screen.h"
#include "UiHelpers.h"

namespace {

class TestableMainWindow : public MainWindow {
  public:
    using MainWindow::agcCheckBox;
    using MainWindow::trackEndTimer;
};

// Sends a control command to the station beside the test (its port is the player's).
bool Station(const std::string& command) {
    const char* port = getenv("STATION_PORT");
    std::string url = "http://127.0.0.1:" + std::string(port ? port : "0") + "/control/" + command;
    HINTERNET session = InternetOpenW(L"test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET request = InternetOpenUrlW(session, std::wstring(url.begin(), url.end()).c_str(),
                                         nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    if (request != nullptr) {
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return request != nullptr;
}

DWORD uiThread = 0;
std::atomic<int> workerStarts{0};    // CreateThread calls for a worker
std::atomic<int> refusedStart{-1};   // the number of the worker start to refuse
std::atomic<bool> delayArmed{false}; // delay the next worker that asks for the timer
std::atomic<int> startsDuringDelay{-1};
decltype(&::CreateThread) realCreateThread = nullptr;
decltype(&::PostMessageW) realPostMessageW = nullptr;
decltype(&::InternetOpenW) realInternetOpenW = nullptr;

HANDLE WINAPI CountingCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                   LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                                   LPDWORD id) {
    if (start == ThreadEntryProc && workerStarts++ == refusedStart) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return realCreateThread(security, stack, start, param, flags, id);
}

// A worker asks the interface thread for the timer by a posted message: a worker
// held up right after that (a busy machine) still counts as running.
BOOL WINAPI DelayingPostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    BOOL posted = realPostMessageW(window, message, wParam, lParam);
    if (GetCurrentThreadId() != uiThread && delayArmed.exchange(false)) {
        const int before = workerStarts;
        Sleep(5000); // past two ticks, and past the end of the short track
        startsDuringDelay = workerStarts - before;
    }
    return posted;
}

HINTERNET WINAPI RefusingInternetOpenW(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

class MainWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { CreatePlayerResources(); }
    static void TearDownTestSuite() { ReleasePlayerResources(); }
    void SetUp() override {
        uiThread = GetCurrentThreadId();
        workerStarts = 0;
        refusedStart = -1;
        ASSERT_TRUE(Station("reset")) << "the station is not there";
        ASSERT_TRUE(Station("playlist?names=first.mod,second.mod,third.mod,fourth.mod"));
    }
    // Whatever a check did, the window closes (its worker with it) before the
    // wrappers go.
    void TearDown() override {
        Close();
        for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
            HookImport(it->dll, it->function, it->original);
        }
    }
    template <typename F> void Hook(const char* dll, const char* function, F replacement, F* real) {
        *real = reinterpret_cast<F>(HookImport(dll, function, reinterpret_cast<void*>(replacement)));
        ASSERT_NE(*real, nullptr) << function;
        hooks.push_back({dll, function, reinterpret_cast<void*>(*real)});
    }
    TestableMainWindow& Open() {
        window.reset(new TestableMainWindow);
        window->CenterScreen();
        window->SetVisible(true);
        return *window;
    }
    // Closes the window as the user does and runs the loop until it is gone.
    void Close() {
        if (window != nullptr && IsWindow(window->GetHWND())) {
            PostMessageW(window->GetHWND(), WM_CLOSE, 0, 0);
            RunMessageLoop();
        }
        window.reset();
    }
    struct Hooked {
        const char* dll;
        const char* function;
        void* original;
    };
    std::vector<Hooked> hooks;
    std::unique_ptr<TestableMainWindow> window;
};

TEST_F(MainWindowTest, AgcBoxSwitchesTheGainStage) {
    TestableMainWindow& w = Open();
    HWND box = w.agcCheckBox.GetHWND();
    RECT r;
    GetWindowRect(box, &r);
    SetCursorPos(r.left + 2, r.top + 2); // the box reads the real pointer position
    for (bool checked : {false, true}) {
        SendMessageW(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        SendMessageW(box, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
        EXPECT_EQ(w.agcCheckBox.IsChecked(), checked);
        EXPECT_EQ(agcEnabled.load(), checked);
    }
}

TEST_F(MainWindowTest, TickDoesNotStartAWorkerWhileOneIsLateToFinish) {
    Hook("user32.dll", "PostMessageW", &DelayingPostMessageW, &realPostMessageW);
    Hook("kernel32.dll", "CreateThread", &CountingCreateThread, &realCreateThread);
    delayArmed = true;
    Open();
    ASSERT_TRUE(PumpUntil([] { return startsDuringDelay >= 0; }, 30000));
    EXPECT_EQ(startsDuringDelay, 0) << "a second worker ran beside the first";
    EXPECT_TRUE(PumpUntil([] { return workerStarts >= 2; }, 10000)) << "the next tick starts it";
}

TEST_F(MainWindowTest, RefusedWorkerIsTriedAgainAtTheNextTick) {
    Hook("kernel32.dll", "CreateThread", &CountingCreateThread, &realCreateThread);
    refusedStart = 1; // the first change of track
    Open();
    EXPECT_TRUE(PumpUntil([] { return workerStarts >= 3; }, 20000));
}

// Runs beside the interface thread, which sits in the box's own loop: reads the
// box and presses its OK button.
struct SeenBox {
    wchar_t text[64];
    HWND owner;
};
DWORD WINAPI AnswerErrorBox(LPVOID param) {
    auto* seen = static_cast<SeenBox*>(param);
    for (int i = 0; i < 1500 && seen->owner == nullptr; ++i, Sleep(10)) {
        for (HWND box : FindTopLevelWindows(L"Error", L"#32770")) {
            DWORD pid = 0;
            GetWindowThreadProcessId(box, &pid);
            if (pid == GetCurrentProcessId()) {
                GetDlgItemTextW(box, 0xFFFF, seen->text, 64);
                seen->owner = GetWindow(box, GW_OWNER);
                PostMessageW(box, WM_COMMAND, IDOK, 0);
            }
        }
    }
    return 0;
}

TEST_F(MainWindowTest, FailedInternetOpenShowsConnectionErrorAndStillCloses) {
    Hook("wininet.dll", "InternetOpenW", &RefusingInternetOpenW, &realInternetOpenW);
    Hook("kernel32.dll", "CreateThread", &CountingCreateThread, &realCreateThread);
    SeenBox seen = {};
    HANDLE answerer = CreateThread(nullptr, 0, AnswerErrorBox, &seen, 0, nullptr);
    TestableMainWindow& w = Open();
    WaitForSingleObject(answerer, 20000);
    CloseHandle(answerer);
    EXPECT_STREQ(seen.text, L"Connection error!");
    EXPECT_EQ(seen.owner, w.GetHWND());
    PumpMessages(2500); // more than a tick
    EXPECT_EQ(workerStarts, 0) << "no worker is started";
    EXPECT_FALSE(w.trackEndTimer.IsTimerRunning());
    Close();
}

TEST_F(MainWindowTest, StartAndCloseLeaveNoObjectsOrHandlesBehind) {
    Open();
    Close(); // warm-up: first use of the sound device, WinINet and fonts
    Sleep(200);
    const int objects = ObjectCounter::Live();
    const int handles = CountKernelHandles();
    ASSERT_GT(handles, 0) << "the kernel handle count does not work here";
    for (int i = 0; i < 3; ++i) {
        Open();
        PumpMessages(100);
        Close();
    }
    Sleep(200); // threads of the last run finish exiting
    EXPECT_EQ(ObjectCounter::Live(), objects);
    EXPECT_LE(CountKernelHandles(), handles + 2);
}

} // namespace
