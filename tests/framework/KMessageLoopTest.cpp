#include "KMessageLoop.h"

#include <gtest/gtest.h>

#include "UiHelpers.h"

namespace {

// Plain Windows windows: the loop must work for any window of the thread.
int tabKeysSeen = 0;
LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    tabKeysSeen += msg == WM_KEYDOWN && wParam == VK_TAB ? 1 : 0;
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

struct TopWindow {
    HWND Child(int x) {
        return CreateWindowExW(0, L"LoopTestWindow", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP, x,
                               10, 50, 20, top, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~TopWindow() {
        DestroyWindow(top);
        PumpMessages(20);
    }
    HWND top = CreateWindowExW(0, L"LoopTestWindow", L"top", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10,
                               10, 300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
};

void SetControlKey(bool down) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = down ? 0x80 : 0;
    SetKeyboardState(keys);
}

// A TAB in a child moves the focus to the next tab stop and never reaches the
// child; with Ctrl it reaches the child; in a top-level window without tab
// stops it is dispatched.
TEST(MessageLoopTest, TabMovesTheFocusOrReachesTheWindow) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"LoopTestWindow";
    RegisterClassW(&wc);
    struct {
        bool inChild, ctrl;
        bool focusMoves;
        int seen;
    } cases[] = {{true, false, true, 0}, {true, true, false, 1}, {false, false, false, 1}};
    for (auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "child " << c.inChild << " ctrl " << c.ctrl);
        TopWindow window;
        ASSERT_NE(window.top, nullptr);
        HWND first = c.inChild ? window.Child(10) : window.top;
        HWND second = c.inChild ? window.Child(80) : nullptr;
        SetFocus(first);
        ASSERT_EQ(GetFocus(), first);
        tabKeysSeen = 0;
        SetControlKey(c.ctrl);
        PostMessageW(first, WM_KEYDOWN, VK_TAB, 0);
        PostQuitMessage(0);
        RunMessageLoop();
        SetControlKey(false);
        EXPECT_EQ(GetFocus(), c.focusMoves ? second : first);
        EXPECT_EQ(tabKeysSeen, c.seen);
    }
}

} // namespace
