#include "KMessageLoop.h"

#include <gtest/gtest.h>

#include "UiHelpers.h"

namespace {

// Plain Windows windows: the loop must work for any window of the thread.
int tabKeysSeen = 0;

LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_KEYDOWN && wParam == VK_TAB) {
        ++tabKeysSeen;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

class MessageLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = CountingProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"LoopTestWindow";
        RegisterClassW(&wc);
        top = CreateWindowExW(0, L"LoopTestWindow", L"top", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10,
                              10, 300, 200, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(top, nullptr);
        tabKeysSeen = 0;
    }
    void TearDown() override {
        DestroyWindow(top);
        PumpMessages(20);
    }
    HWND AddChild(int x, bool tabStop) {
        return CreateWindowExW(0, L"LoopTestWindow", L"",
                               WS_CHILD | WS_VISIBLE | (tabStop ? WS_TABSTOP : 0), x, 10, 50, 20,
                               top, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    // Posts a TAB key-down to `target`, then WM_QUIT, and runs the loop over them.
    void RunLoopOverTab(HWND target) {
        PostMessageW(target, WM_KEYDOWN, VK_TAB, 0);
        PostQuitMessage(0);
        RunMessageLoop();
    }
    void SetControlKey(bool down) {
        BYTE keys[256];
        GetKeyboardState(keys);
        keys[VK_CONTROL] = down ? 0x80 : 0;
        SetKeyboardState(keys);
    }
    HWND top = nullptr;
};

TEST_F(MessageLoopTest, TabInAChildMovesTheFocusAndNeverReachesTheChild) {
    HWND first = AddChild(10, true);
    HWND second = AddChild(80, true);
    SetFocus(first);
    ASSERT_EQ(GetFocus(), first);
    RunLoopOverTab(first);
    EXPECT_EQ(GetFocus(), second);
    EXPECT_EQ(tabKeysSeen, 0);
}

TEST_F(MessageLoopTest, CtrlTabInAChildReachesTheChild) {
    HWND first = AddChild(10, true);
    AddChild(80, true);
    SetFocus(first);
    SetControlKey(true);
    RunLoopOverTab(first);
    SetControlKey(false);
    EXPECT_EQ(GetFocus(), first);
    EXPECT_EQ(tabKeysSeen, 1);
}

TEST_F(MessageLoopTest, TabInATopLevelWindowWithoutTabStopsIsDispatched) {
    SetFocus(top);
    RunLoopOverTab(top);
    EXPECT_EQ(tabKeysSeen, 1);
}

} // namespace
