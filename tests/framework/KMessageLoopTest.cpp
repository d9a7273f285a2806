#include "KMessageLoop.h"

#include <gtest/gtest.h>

#include "TestWindows.h"

namespace {

int tabKeysSeen = 0;
LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    tabKeysSeen += msg == WM_KEYDOWN && wParam == VK_TAB ? 1 : 0;
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// A TAB in a child moves the focus to the next tab stop and never reaches the child;
// with Ctrl it reaches the child; in a top-level window without tab stops it is
// dispatched. Plain windows: the loop serves every window of the thread.
TEST(MessageLoopTest, TabMovesTheFocusOrReachesTheWindow) {
    struct {
        bool inChild, ctrl, focusMoves;
        int seen;
    } cases[] = {{true, false, true, 0}, {true, true, false, 1}, {false, false, false, 1}};
    for (auto& c : cases) {
        HWND top = PlainWindow(L"LoopTestWindow", CountingProc, nullptr, WS_POPUP | WS_VISIBLE);
        const DWORD childStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
        HWND first = c.inChild ? PlainWindow(L"LoopTestWindow", nullptr, top, childStyle) : top;
        HWND second = c.inChild ? PlainWindow(L"LoopTestWindow", nullptr, top, childStyle) : top;
        SetFocus(first);
        BYTE keys[256];
        GetKeyboardState(keys);
        keys[VK_CONTROL] = c.ctrl ? 0x80 : 0;
        SetKeyboardState(keys);
        tabKeysSeen = 0;
        PostMessageW(first, WM_KEYDOWN, VK_TAB, 0);
        PostQuitMessage(0);
        RunMessageLoop();
        keys[VK_CONTROL] = 0;
        SetKeyboardState(keys);
        EXPECT_EQ(GetFocus(), c.focusMoves ? second : first) << c.inChild << c.ctrl;
        EXPECT_EQ(tabKeysSeen, c.seen) << c.inChild << c.ctrl;
        DestroyWindow(top);
    }
}

} // namespace
