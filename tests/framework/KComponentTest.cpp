#include "KComponent.h"
#include "KWindow.h"

#include <gtest/gtest.h>

#include "ApiHook.h"
#include "TestWindows.h"

namespace {

bool ClassExists(const KString& name) {
    WNDCLASSW info;
    return GetClassInfoW(GetModuleHandleW(nullptr), name, &info) != FALSE;
}

int Props(HWND h) { // how many of its three properties the window carries
    return (GetPropW(h, L"RFC") != nullptr) + (GetPropW(h, L"RFCOldProc") != nullptr) +
           (GetPropW(h, L"RFCClsName") != nullptr);
}

// Records what its window procedure sees, also during CreateWindowExW; with
// `refuse` it turns its creation down at the first message.
struct RecordingComponent : KComponent {
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
        creationMessages += msg == WM_NCCREATE || msg == WM_CREATE;
        handleKnownAtCreation |= msg == WM_NCCREATE && GetHWND() == window;
        propsAtDestroy += msg == WM_DESTROY ? Props(window) : 0;
        const bool refused = refuse && msg == WM_NCCREATE;
        return refused ? FALSE : KComponent::WindowProc(window, msg, wParam, lParam);
    }
    bool refuse = false, handleKnownAtCreation = false;
    int creationMessages = 0, propsAtDestroy = 0;
};

HHOOK WINAPI RefusedHook(int, HOOKPROC, HINSTANCE, DWORD) {
    return nullptr;
}

// A creation binds exactly one window. One that fails, before or after
// CreateWindowExW made a window, leaves neither a handle nor a window. Either
// way the class goes with the component.
TEST(KComponentTest, CreationBindsOneWindowOrLeavesNone) {
    for (bool sameTick = false; !sameTick;) { // two components of one millisecond
        DWORD tick = GetTickCount();
        KComponent a, b;
        sameTick = GetTickCount() == tick;
        ASSERT_TRUE(a.CreateComponent() && b.CreateComponent()) << "their names differ";
        DestroyWindow(a.GetHWND());
        DestroyWindow(b.GetHWND());
    }
    enum { kCreated, kRefusedByTheWindow, kWithoutTheHook };
    for (int way : {kCreated, kRefusedByTheWindow, kWithoutTheHook}) {
        KString name;
        {
            RecordingComponent c;
            name = c.GetComponentClassName();
            c.refuse = way == kRefusedByTheWindow;
            void* hook = reinterpret_cast<void*>(&RefusedHook);
            void* real = way == kWithoutTheHook ? HookImport("user32.dll", "SetWindowsHookExW", hook)
                                                : nullptr;
            EXPECT_EQ(c.CreateComponent(), way == kCreated) << way;
            if (real != nullptr) {
                HookImport("user32.dll", "SetWindowsHookExW", real);
            }
            HWND h = c.GetHWND();
            EXPECT_EQ(FindWindowW(name, nullptr), h) << way;
            if (way == kCreated) {
                EXPECT_TRUE(c.handleKnownAtCreation && Props(h) == 3 && GetPropW(h, L"RFC") == &c);
                EXPECT_EQ(GetPropW(h, L"RFCOldProc"), reinterpret_cast<void*>(SharedWindowProc));
                EXPECT_STREQ(static_cast<const wchar_t*>(GetPropW(h, L"RFCClsName")), name);
                EXPECT_FALSE(c.CreateComponent()) << "the class exists already";
                EXPECT_EQ(c.creationMessages, 2) << "WM_NCCREATE and WM_CREATE of one window";
            }
            DestroyWindow(h);
            EXPECT_EQ(c.propsAtDestroy, way == kCreated ? 3 : 0);
        }
        EXPECT_FALSE(ClassExists(name)) << way;
    }
}

int oldProcMessages = 0, leftAtNcDestroy = -1;
LRESULT CALLBACK OldProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    oldProcMessages += msg == WM_USER;
    if (msg == WM_NCDESTROY) { // properties and procedure of the framework: all gone by now
        leftAtNcDestroy =
            Props(window) + (GetWindowLongPtrW(window, GWLP_WNDPROC) != LONG_PTR(OldProc));
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

TEST(KComponentTest, AttachedWindowKeepsItsProcedureAndIsReadBack) {
    KWindow parent;
    parent.SetPosition(100, 120);
    ASSERT_TRUE(parent.CreateComponent());
    HWND h = PlainWindow(L"AttachedChild", OldProc, parent.GetHWND(), WS_CHILD | WS_VISIBLE, L"ab");
    KComponent attached;
    attached.AttachToWindow(h);
    EXPECT_TRUE(Props(h) == 3 && GetPropW(h, L"RFC") == &attached);
    EXPECT_EQ(GetWindowLongPtrW(h, GWLP_WNDPROC), LONG_PTR(SharedWindowProc));
    EXPECT_STREQ(attached.GetComponentClassName(), L"AttachedChild");
    EXPECT_STREQ(attached.GetText(), L"ab");
    EXPECT_TRUE(attached.GetX() == 110 && attached.GetY() == 140) << "screen coordinates";
    EXPECT_TRUE(attached.GetWidth() == 120 && attached.GetParentHWND() == parent.GetHWND());
    EXPECT_FALSE(attached.IsVisible()) << "the hidden parent hides it";
    SendMessageW(h, WM_USER, 0, 0);
    EXPECT_EQ(oldProcMessages, 1) << "unhandled messages reach the previous procedure";
    DestroyWindow(parent.GetHWND());
    EXPECT_EQ(leftAtNcDestroy, 0);
    // A window running SharedWindowProc without "RFC" gets DefWindowProcW.
    HWND unbound = PlainWindow(L"UnboundWindow", SharedWindowProc, nullptr, WS_POPUP, L"plain");
    EXPECT_EQ(WindowText(unbound), L"plain");
    DestroyWindow(unbound);
}

TEST(KComponentTest, SettersStoreBeforeCreationAndApplyAfter) {
    KComponent c;
    c.SetExStyle(WS_EX_TOOLWINDOW);
    struct {
        DWORD style;
        RECT r;
        const wchar_t* text;
        bool enabled, visible;
    } cases[] = {{WS_POPUP | WS_BORDER, {40, 50, 190, 140}, L"first", false, true},
                 {WS_POPUP, {70, 80, 130, 110}, L"second", true, false}};
    for (auto& s : cases) {
        c.SetStyle(s.style);
        c.SetSize(s.r.right - s.r.left, s.r.bottom - s.r.top);
        c.SetPosition(s.r.left, s.r.top);
        c.SetText(KString(s.text));
        c.SetEnabled(s.enabled);
        c.SetVisible(s.visible);
        EXPECT_TRUE(c.GetHWND() != nullptr || (!c.IsVisible() && c.CreateComponent()));
        HWND h = c.GetHWND();
        RECT r;
        GetWindowRect(h, &r);
        EXPECT_TRUE(EqualRect(&r, &s.r) && WindowText(h) == s.text) << r.left << "," << r.top;
        EXPECT_TRUE(IsWindowEnabled(h) == s.enabled && c.IsVisible() == s.visible);
        EXPECT_EQ(IsWindowVisible(h) != FALSE, s.visible) << "shown without WS_VISIBLE";
        EXPECT_EQ(DWORD(GetWindowLongW(h, GWL_STYLE)) & WS_BORDER, s.style & WS_BORDER);
        EXPECT_NE(GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);
    }
    DestroyWindow(c.GetHWND());
}

} // namespace
