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

bool Bound(HWND h, void* component) {
    return GetPropW(h, L"RFC") == component && GetPropW(h, L"RFCOldProc") != nullptr &&
           GetPropW(h, L"RFCClsName") != nullptr;
}

// Records what its window procedure sees, also during CreateWindowExW; with
// `refuse` it turns its creation down at the first message.
class RecordingComponent : public KComponent {
  public:
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg == WM_NCCREATE || msg == WM_CREATE) {
            creationMessages++;
            handleKnownAtCreation = GetHWND() == window;
            if (refuse) {
                return FALSE;
            }
        }
        boundAtDestroy = boundAtDestroy || (msg == WM_DESTROY && Bound(window, this));
        return KComponent::WindowProc(window, msg, wParam, lParam);
    }
    bool refuse = false, handleKnownAtCreation = false, boundAtDestroy = false;
    int creationMessages = 0;
};

int ClassNumber(KComponent& c) {
    KString name = c.GetComponentClassName();
    return name.SubString(4, name.GetLength() - 1).GetIntValue();
}

TEST(KComponentTest, ClassesAreNumberedCreatedOnceAndGoneWithTheComponent) {
    bool sameTick = false; // two components of one millisecond get consecutive numbers
    for (int attempt = 0; attempt < 100 && !sameTick; ++attempt) {
        DWORD before = GetTickCount();
        KComponent a, b;
        sameTick = GetTickCount() == before;
        EXPECT_TRUE(!sameTick || ClassNumber(b) == ClassNumber(a) + 1);
        EXPECT_TRUE(a.GetComponentClassName().SubString(0, 3).Equals(KString(L"RFC_")));
    }
    ASSERT_TRUE(sameTick);
    KString name;
    {
        RecordingComponent c;
        name = c.GetComponentClassName();
        EXPECT_FALSE(ClassExists(name));
        ASSERT_TRUE(c.CreateComponent());
        EXPECT_TRUE(ClassExists(name));
        EXPECT_TRUE(c.handleKnownAtCreation) << "messages reach it during CreateWindowExW";
        EXPECT_TRUE(Bound(c.GetHWND(), &c));
        EXPECT_EQ(reinterpret_cast<WNDPROC>(GetPropW(c.GetHWND(), L"RFCOldProc")), SharedWindowProc);
        EXPECT_STREQ(static_cast<const wchar_t*>(GetPropW(c.GetHWND(), L"RFCClsName")), name);
        EXPECT_FALSE(c.CreateComponent()) << "the class exists already";
        EXPECT_EQ(c.creationMessages, 2) << "WM_NCCREATE and WM_CREATE of one window";
        DestroyWindow(c.GetHWND());
        EXPECT_TRUE(c.boundAtDestroy);
    }
    EXPECT_FALSE(ClassExists(name)) << "the destructor unregisters the class";
}

HHOOK WINAPI RefusedHook(int, HOOKPROC, HINSTANCE, DWORD) {
    return nullptr;
}

// A creation that fails, before or after CreateWindowExW made a window, leaves
// neither a handle nor a window, and the class goes with the component.
TEST(KComponentTest, FailedCreationLeavesNoWindowBehind) {
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
            EXPECT_EQ(c.GetHWND() != nullptr, way == kCreated) << way;
            EXPECT_EQ(FindWindowW(name, nullptr), c.GetHWND()) << way;
            DestroyWindow(c.GetHWND());
        }
        EXPECT_FALSE(ClassExists(name)) << way;
    }
}

int oldProcMessages = 0;
bool restoredAtNcDestroy = false;
LRESULT CALLBACK OldProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    oldProcMessages += msg == WM_USER ? 1 : 0;
    if (msg == WM_NCDESTROY) {
        restoredAtNcDestroy = GetPropW(window, L"RFC") == nullptr &&
                              GetPropW(window, L"RFCOldProc") == nullptr &&
                              GetPropW(window, L"RFCClsName") == nullptr &&
                              GetWindowLongPtrW(window, GWLP_WNDPROC) == LONG_PTR(OldProc);
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
    EXPECT_TRUE(Bound(h, &attached));
    EXPECT_EQ(GetWindowLongPtrW(h, GWLP_WNDPROC), LONG_PTR(SharedWindowProc));
    EXPECT_STREQ(attached.GetComponentClassName(), L"AttachedChild");
    EXPECT_STREQ(attached.GetText(), L"ab");
    EXPECT_EQ(attached.GetX(), 110) << "screen coordinates, not the parent's";
    EXPECT_EQ(attached.GetY(), 140);
    EXPECT_EQ(attached.GetWidth(), 120);
    EXPECT_EQ(attached.GetParentHWND(), parent.GetHWND());
    EXPECT_FALSE(attached.IsVisible()) << "the hidden parent hides it";
    SendMessageW(h, WM_USER, 0, 0);
    EXPECT_EQ(oldProcMessages, 1) << "unhandled messages reach the previous procedure";
    DestroyWindow(parent.GetHWND());
    EXPECT_TRUE(restoredAtNcDestroy);

    // A window running SharedWindowProc without "RFC" gets DefWindowProcW.
    HWND unbound = PlainWindow(L"UnboundWindow", SharedWindowProc, nullptr, WS_POPUP, L"plain");
    EXPECT_EQ(WindowText(unbound), L"plain");
    DestroyWindow(unbound);
}

TEST(KComponentTest, SettersStoreBeforeCreationAndApplyAfter) {
    KComponent c;
    auto configure = [&c](DWORD style, RECT r, const wchar_t* text, bool enabled, bool visible) {
        c.SetStyle(style);
        c.SetSize(r.right - r.left, r.bottom - r.top);
        c.SetPosition(r.left, r.top);
        c.SetText(KString(text));
        c.SetEnabled(enabled);
        c.SetVisible(visible);
        HWND h = c.GetHWND();
        if (h == nullptr) {
            EXPECT_FALSE(c.IsVisible()) << "no window yet";
            ASSERT_TRUE(c.CreateComponent());
            h = c.GetHWND();
        }
        RECT actual;
        GetWindowRect(h, &actual);
        EXPECT_TRUE(EqualRect(&actual, &r)) << actual.left << "," << actual.top;
        EXPECT_EQ(WindowText(h), text);
        EXPECT_EQ(IsWindowEnabled(h) != FALSE, enabled);
        EXPECT_EQ(IsWindowVisible(h) != FALSE, visible) << "shown without WS_VISIBLE";
        EXPECT_EQ(c.IsVisible(), visible);
        EXPECT_EQ(DWORD(GetWindowLongW(h, GWL_STYLE)) & WS_BORDER, style & WS_BORDER);
    };
    c.SetExStyle(WS_EX_TOOLWINDOW);
    configure(WS_POPUP | WS_BORDER, {40, 50, 190, 140}, L"first", false, true);
    EXPECT_NE(GetWindowLongW(c.GetHWND(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);
    configure(WS_POPUP, {70, 80, 130, 110}, L"second", true, false);
    DestroyWindow(c.GetHWND());

    KComponent plain; // nothing set: default position and size, style 0, no text
    ASSERT_TRUE(plain.CreateComponent());
    RECT r;
    GetWindowRect(plain.GetHWND(), &r);
    EXPECT_GT(r.right - r.left, 0) << "the system's default size, not 0";
    EXPECT_EQ(WindowText(plain.GetHWND()), L"");
    DestroyWindow(plain.GetHWND());
}

} // namespace
