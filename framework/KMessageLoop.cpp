#include "KMessageLoop.h"

#include <windows.h>

namespace {
// True when the TAB was used to move the focus and must not reach the window.
bool MoveFocusOnTab(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB || msg.hwnd == nullptr) {
        return false;
    }
    HWND parent = GetParent(msg.hwnd);
    if (parent == nullptr) {
        HWND next = GetNextDlgTabItem(msg.hwnd, nullptr, FALSE);
        if (next != nullptr) {
            SetFocus(next);
            return true;
        }
        return false;
    }
    HWND next = GetNextDlgTabItem(parent, msg.hwnd, FALSE);
    if (next != nullptr && (GetKeyState(VK_CONTROL) & 0x8000) == 0) {
        SetFocus(next);
        return true;
    }
    return false;
}
} // namespace

void RunMessageLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (MoveFocusOnTab(msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
