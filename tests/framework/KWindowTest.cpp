#include "KWindow.h"

#include <gtest/gtest.h>

#include <vector>

#include "KMessageLoop.h"
#include "KNotifications.h"
#include "KRuntime.h"
#include "KTimer.h"
#include "UiHelpers.h"

namespace {

TEST(KWindowTest, DefaultsAndCentring) {
    KWindow window;
    EXPECT_STREQ(window.GetText(), L"KWindow");
    EXPECT_EQ(window.GetWidth(), 400);
    EXPECT_EQ(window.GetHeight(), 200);
    EXPECT_EQ(window.GetStyle(), static_cast<DWORD>(WS_POPUP));
    EXPECT_EQ(window.GetExStyle(), 0x00050010u);
    ASSERT_TRUE(window.CreateComponent());
    EXPECT_FALSE(IsWindowVisible(window.GetHWND())) << "a new window stays hidden";
    WNDCLASSEXW info = {};
    info.cbSize = sizeof(info);
    GetClassInfoExW(GetModuleHandleW(nullptr), window.GetComponentClassName(), &info);
    EXPECT_EQ(info.style, 0x23u);

    const int screenW = GetSystemMetrics(SM_CXSCREEN);
    const int screenH = GetSystemMetrics(SM_CYSCREEN);
    window.CenterScreen();
    RECT r;
    GetWindowRect(window.GetHWND(), &r);
    EXPECT_EQ(r.left, (screenW - 400) / 2);
    EXPECT_EQ(r.top, (screenH - 200) / 2);
    if (screenW == 1024 && screenH == 768) {
        EXPECT_EQ(r.left, 312);
        EXPECT_EQ(r.top, 284);
    }
    // Wider than the screen: a negative x, truncated toward zero.
    window.SetSize(screenW + 977, 200);
    window.CenterScreen();
    EXPECT_EQ(window.GetX(), -488);
    DestroyWindow(window.GetHWND());

    KFrame frame;
    EXPECT_STREQ(frame.GetText(), L"KFrame");
    EXPECT_EQ(frame.GetStyle(), 0x80CA0000u);
    EXPECT_EQ(frame.GetWidth(), 400);
}

TEST(KWindowTest, AddComponentNeedsAChildAndAWindow) {
    KWindow window;
    KComponent child;
    child.SetStyle(WS_CHILD);
    EXPECT_FALSE(window.AddComponent(&child)) << "no window yet";
    EXPECT_EQ(child.GetHWND(), nullptr);
    ASSERT_TRUE(window.CreateComponent());
    EXPECT_FALSE(window.AddComponent(nullptr));
    ASSERT_TRUE(window.AddComponent(&child));
    EXPECT_EQ(GetParent(child.GetHWND()), window.GetHWND());
    EXPECT_FALSE(window.AddComponent(&child)) << "a second creation of the child fails";
    DestroyWindow(window.GetHWND());
}

struct Watch {
    DWORD thread;
    HANDLE done;
    bool fired;
};

DWORD WINAPI WatchdogProc(LPVOID p) {
    auto w = static_cast<Watch*>(p);
    if (WaitForSingleObject(w->done, 10000) == WAIT_TIMEOUT) {
        w->fired = true;
        PostThreadMessageW(w->thread, WM_QUIT, 0, 0);
    }
    return 0;
}

TEST(KWindowTest, CloseDestroysTheWindowAndEndsTheLoop) {
    KWindow window;
    ASSERT_TRUE(window.CreateComponent());
    HWND h = window.GetHWND();
    PostMessageW(h, WM_CLOSE, 0, 0);
    // If the quit never came the loop would run on: a watchdog ends it after 10 s,
    // and the assertion below tells.
    Watch watch = {GetCurrentThreadId(), CreateEventW(nullptr, TRUE, FALSE, nullptr), false};
    HANDLE watchdog = CreateThread(nullptr, 0, WatchdogProc, &watch, 0, nullptr);
    RunMessageLoop();
    SetEvent(watch.done);
    WaitForSingleObject(watchdog, INFINITE);
    CloseHandle(watchdog);
    CloseHandle(watch.done);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(watch.fired);
}

// The notifications a KWindow routes, observed from both ends: the objects that
// provide an operation get the call, everything else reaches the window's
// previous procedure (default processing).
int defaultProcessed = 0;
LRESULT CALLBACK CountingParentProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COMMAND || msg == WM_HSCROLL || msg == WM_VSCROLL || msg == WM_TIMER) {
        ++defaultProcessed;
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

class NotifiedControl : public KComponent,
                        public KPressNotifiable,
                        public KListSelectNotifiable,
                        public KComboSelectNotifiable,
                        public KScrollNotifiable {
  public:
    void OnPress() override { calls.push_back(L"press"); }
    void OnListItemSelect() override { calls.push_back(L"list"); }
    void OnComboItemSelect() override { calls.push_back(L"combo"); }
    void OnScrollChange() override { calls.push_back(L"scroll"); }
    std::vector<std::wstring> calls;
};

class PressedMenuItem : public KMenuItem {
  public:
    void OnMenuItemPress() override { ++presses; }
    int presses = 0;
};

class CountingTimerListener : public KTimerListener {
  public:
    void OnTimer(KTimer*) override { ++ticks; }
    int ticks = 0;
};

TEST(KWindowTest, NotificationsReachOnlyObjectsThatProvideThem) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = CountingParentProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"RoutingParent";
    RegisterClassW(&wc);
    HWND parentWindow = CreateWindowExW(0, L"RoutingParent", L"", WS_POPUP, 0, 0, 300, 200, nullptr,
                                        nullptr, wc.hInstance, nullptr);
    KWindow parent;
    parent.AttachToWindow(parentWindow);

    auto makeChild = [&](const wchar_t* cls) {
        return CreateWindowExW(0, cls, L"", WS_CHILD, 0, 0, 50, 50, parentWindow, nullptr,
                               wc.hInstance, nullptr);
    };
    NotifiedControl list, combo, button;
    list.AttachToWindow(makeChild(L"LISTBOX"));
    combo.AttachToWindow(makeChild(L"ComboBox"));
    button.AttachToWindow(makeChild(L"BUTTON"));
    KComponent silent; // provides no notification operation
    silent.AttachToWindow(makeChild(L"BUTTON"));
    HWND foreign = makeChild(L"BUTTON"); // no component at all

    PressedMenuItem item;
    KRuntime* runtime = KRuntime::GetInstance();
    const UINT itemId = KRuntime::firstMenuItemID + runtime->menuItemRegistry->GetCount();
    runtime->menuItemRegistry->Add(&item);

    KTimer timer;
    CountingTimerListener listener;
    timer.SetListener(&listener);

    auto send = [&](UINT msg, WORD code, WORD low, HWND from) {
        return SendMessageW(parentWindow, msg, MAKEWPARAM(low, code),
                            reinterpret_cast<LPARAM>(from));
    };
    struct Case {
        const char* name;
        UINT msg;
        WORD code;
        WORD low;
        HWND from;
        NotifiedControl* target; // expected receiver, or null for default processing
        const wchar_t* call;
    } cases[] = {
        {"click of a control", WM_COMMAND, 0, 1, button.GetHWND(), &button, L"press"},
        {"list selection", WM_COMMAND, 1, 1, list.GetHWND(), &list, L"list"},
        {"combo box code 1 is not routed", WM_COMMAND, 1, 1, combo.GetHWND(), nullptr, nullptr},
        {"combo box code 9 is routed", WM_COMMAND, 9, 1, combo.GetHWND(), &combo, L"combo"},
        {"other command codes", WM_COMMAND, 5, 1, button.GetHWND(), nullptr, nullptr},
        {"component without the operation", WM_COMMAND, 0, 1, silent.GetHWND(), nullptr, nullptr},
        {"control without a component", WM_COMMAND, 0, 1, foreign, nullptr, nullptr},
        {"line scroll", WM_HSCROLL, 0, SB_LINEDOWN, list.GetHWND(), &list, L"scroll"},
        {"thumb track", WM_VSCROLL, 0, SB_THUMBTRACK, list.GetHWND(), &list, L"scroll"},
        {"bottom", WM_VSCROLL, 0, SB_BOTTOM, list.GetHWND(), &list, L"scroll"},
        {"thumb position is not routed", WM_HSCROLL, 0, SB_THUMBPOSITION, list.GetHWND(), nullptr,
         nullptr},
        {"end scroll is not routed", WM_HSCROLL, 0, SB_ENDSCROLL, list.GetHWND(), nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int defaultBefore = defaultProcessed;
        size_t callsBefore = c.target != nullptr ? c.target->calls.size() : 0;
        LRESULT result = send(c.msg, c.code, c.low, c.from);
        if (c.target != nullptr) {
            ASSERT_EQ(c.target->calls.size(), callsBefore + 1);
            EXPECT_EQ(c.target->calls.back(), c.call);
            EXPECT_EQ(result, 0);
            EXPECT_EQ(defaultProcessed, defaultBefore);
        } else {
            EXPECT_EQ(defaultProcessed, defaultBefore + 1);
        }
    }
    EXPECT_TRUE(silent.GetHWND() != nullptr);

    // Menu commands (no control window) go through the menu-item registry.
    int defaultBefore = defaultProcessed;
    SendMessageW(parentWindow, WM_COMMAND, itemId, 0);
    EXPECT_EQ(item.presses, 1);
    SendMessageW(parentWindow, WM_COMMAND, itemId + 1, 0);
    EXPECT_EQ(item.presses, 1);
    EXPECT_EQ(defaultProcessed, defaultBefore + 1);

    // Timer ticks: a registered id is delivered whichever KWindow gets it.
    defaultBefore = defaultProcessed;
    EXPECT_EQ(SendMessageW(parentWindow, WM_TIMER, timer.GetTimerID(), 0), 0);
    EXPECT_EQ(listener.ticks, 1);
    SendMessageW(parentWindow, WM_TIMER, 1000, 0);
    SendMessageW(parentWindow, WM_TIMER, timer.GetTimerID() + 1000, 0);
    EXPECT_EQ(listener.ticks, 1);
    EXPECT_EQ(defaultProcessed, defaultBefore + 2);

    runtime->menuItemRegistry->SetAt(static_cast<int>(itemId - KRuntime::firstMenuItemID), nullptr);
    DestroyWindow(parentWindow);
}

} // namespace
