// The main window built in this process, as RunMainWindow builds it, so that the
// test can look at its members and intercept its calls to the system.
#include "MainWindow.h"

#include <gtest/gtest.h>

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
    using MainWindow::internetHandle;
    using MainWindow::trackEndTimer;
    bool WorkerRunning() { return isThreadRunning; }
};

class MainWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { CreatePlayerResources(); }
    static void TearDownTestSuite() { ReleasePlayerResources(); }
    // Closes the window as the user would and runs the loop until it is gone.
    static void CloseAndRunLoop(HWND window) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        RunMessageLoop();
    }
};

void ClickAt(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    SendMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    SendMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

TEST_F(MainWindowTest, AgcBoxSwitchesTheGainStage) {
    TestableMainWindow window;
    window.SetVisible(true);
    ASSERT_TRUE(window.agcCheckBox.IsChecked());
    ASSERT_TRUE(agcEnabled.load());
    ClickAt(window.agcCheckBox.GetHWND());
    EXPECT_FALSE(window.agcCheckBox.IsChecked());
    EXPECT_FALSE(agcEnabled.load());
    ClickAt(window.agcCheckBox.GetHWND());
    EXPECT_TRUE(agcEnabled.load());
    CloseAndRunLoop(window.GetHWND());
}

decltype(&::InternetOpenW) realInternetOpenW = nullptr;
HINTERNET WINAPI RefusingInternetOpenW(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

struct SeenBox {
    wchar_t text[256];
    wchar_t caption[64];
    HWND owner;
    bool found;
};

// Runs beside the interface thread, which sits in the box's own message loop:
// reads the box and presses its OK button.
DWORD WINAPI AnswerErrorBox(LPVOID param) {
    auto seen = static_cast<SeenBox*>(param);
    for (int i = 0; i < 1000 && !seen->found; ++i) {
        for (HWND box : FindTopLevelWindows(L"Error", L"#32770")) {
            DWORD pid = 0;
            GetWindowThreadProcessId(box, &pid);
            if (pid != GetCurrentProcessId()) {
                continue;
            }
            GetDlgItemTextW(box, 0xFFFF, seen->text, 256);
            GetWindowTextW(box, seen->caption, 64);
            seen->owner = GetWindow(box, GW_OWNER);
            seen->found = true;
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
        Sleep(10);
    }
    return 0;
}

TEST_F(MainWindowTest, FailedInternetOpenShowsConnectionErrorAndStillCloses) {
    // This process's own import of InternetOpenW is made to fail: the program's
    // code, the box and the shutdown are the real ones.
    realInternetOpenW = reinterpret_cast<decltype(realInternetOpenW)>(HookImport(
        "wininet.dll", "InternetOpenW", reinterpret_cast<void*>(&RefusingInternetOpenW)));
    ASSERT_NE(realInternetOpenW, nullptr);
    SeenBox seen = {};
    HANDLE answerer = CreateThread(nullptr, 0, AnswerErrorBox, &seen, 0, nullptr);
    {
        TestableMainWindow window;
        WaitForSingleObject(answerer, 15000);
        CloseHandle(answerer);
        HookImport("wininet.dll", "InternetOpenW", reinterpret_cast<void*>(realInternetOpenW));

        ASSERT_TRUE(seen.found);
        EXPECT_STREQ(seen.text, L"Connection error!");
        EXPECT_STREQ(seen.caption, L"Error");
        EXPECT_EQ(seen.owner, window.GetHWND());
        EXPECT_EQ(window.internetHandle, nullptr);
        EXPECT_FALSE(window.WorkerRunning()) << "no worker is started";
        EXPECT_FALSE(window.trackEndTimer.IsTimerRunning());
        window.SetVisible(true);
        CloseAndRunLoop(window.GetHWND());
        EXPECT_FALSE(IsWindow(window.GetHWND()));
    }
}

TEST_F(MainWindowTest, StartAndCloseLeaveNoObjectsOrHandlesBehind) {
    auto runOnce = [] {
        TestableMainWindow window;
        window.CenterScreen();
        window.SetVisible(true);
        PumpMessages(100);
        CloseAndRunLoop(window.GetHWND());
    };
    runOnce(); // warm-up: first use of the sound device, WinINet and fonts
    Sleep(200);
    const int objects = ObjectCounter::Live();
    const int handles = CountKernelHandles();
    ASSERT_GT(handles, 0) << "the kernel handle count does not work here";
    for (int i = 0; i < 5; ++i) {
        runOnce();
    }
    Sleep(200); // threads of the last run finish exiting
    EXPECT_EQ(ObjectCounter::Live(), objects);
    EXPECT_LE(CountKernelHandles(), handles + 2);
}

} // namespace
