#include "KMessageLoop.h"

#include <gtest/gtest.h>

#include "TestWindows.h"

static int tabKeysSeen = 0;
static LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    tabKeysSeen += msg == WM_KEYDOWN && wParam == VK_TAB;
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// A TAB in a child moves the focus to the next tab stop and never reaches the child;
// with Ctrl it reaches the child; in a top-level window without tab stops it is
// dispatched. Plain windows: the loop serves every window of the thread.
TEST(MessageLoopTest, TabMovesTheFocusOrReachesTheWindow) {
    for (int ctrl : {0, 0x80, -1}) { // -1: the top-level window itself
        HWND top = PlainWindow(L"LoopTestWindow", CountingProc, nullptr, WS_POPUP | WS_VISIBLE);
        const DWORD tabStop = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
        HWND first = ctrl < 0 ? top : PlainWindow(L"LoopTestWindow", nullptr, top, tabStop);
        HWND second = ctrl < 0 ? top : PlainWindow(L"LoopTestWindow", nullptr, top, tabStop);
        BYTE keys[256];
        GetKeyboardState(keys);
        keys[VK_CONTROL] = BYTE(ctrl > 0 ? ctrl : 0);
        SetKeyboardState(keys);
        SetFocus(first);
        tabKeysSeen = 0;
        PostMessageW(first, WM_KEYDOWN, VK_TAB, 0);
        PostQuitMessage(0);
        RunMessageLoop();
        keys[VK_CONTROL] = 0;
        SetKeyboardState(keys);
        EXPECT_TRUE(GetFocus() == (ctrl ? first : second) && tabKeysSeen == (ctrl != 0)) << ctrl;
        DestroyWindow(top);
    }
}

