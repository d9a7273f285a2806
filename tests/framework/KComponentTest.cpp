#include "KComponent.h"
#include "KWindow.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <vector>

#include "KRuntime.h"
#include "UiHelpers.h"

namespace {

int ClassNumber(KComponent& c) {
    KString name = c.GetComponentClassName();
    return static_cast<int>(wcstol(static_cast<const wchar_t*>(name) + 4, nullptr, 10));
}

bool ClassExists(const KString& name) {
    WNDCLASSEXW info = {};
    info.cbSize = sizeof(info);
    return GetClassInfoExW(GetModuleHandleW(nullptr), name, &info) != FALSE;
}

// Records what its window procedure sees, including during CreateWindowExW.
class RecordingComponent : public KComponent {
  public:
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg == WM_NCCREATE || msg == WM_CREATE) {
            creationMessages++;
            handleKnownAtCreation = GetHWND() == window;
        }
        if (msg == WM_DESTROY) {
            propsPresentAtDestroy = GetPropW(window, L"RFC") == this &&
                                    GetPropW(window, L"RFCOldProc") != nullptr &&
                                    GetPropW(window, L"RFCClsName") != nullptr;
        }
        return KComponent::WindowProc(window, msg, wParam, lParam);
    }
    int creationMessages = 0;
    bool handleKnownAtCreation = false;
    bool propsPresentAtDestroy = false;
};

TEST(KComponentTest, ClassNamesAreNumberedAndOwnedByTheComponent) {
    // Two components made in the same millisecond get consecutive numbers.
    bool sameTick = false;
    for (int attempt = 0; attempt < 100 && !sameTick; ++attempt) {
        DWORD before = GetTickCount();
        KComponent a;
        KComponent b;
        if (GetTickCount() == before) {
            sameTick = true;
            EXPECT_EQ(ClassNumber(b), ClassNumber(a) + 1);
            EXPECT_EQ(wcsncmp(a.GetComponentClassName(), L"RFC_", 4), 0);
        }
    }
    ASSERT_TRUE(sameTick);

    KString name;
    {
        RecordingComponent c;
        name = c.GetComponentClassName();
        EXPECT_FALSE(ClassExists(name));
        ASSERT_TRUE(c.CreateComponent());
        EXPECT_TRUE(ClassExists(name));
        EXPECT_EQ(c.creationMessages, 2) << "WM_NCCREATE and WM_CREATE of its one window";
        // A second creation fails at the class and makes no second window.
        EXPECT_FALSE(c.CreateComponent());
        EXPECT_EQ(c.creationMessages, 2);
        DestroyWindow(c.GetHWND());
    }
    EXPECT_FALSE(ClassExists(name)) << "the destructor unregisters the class";
}

bool propsGoneAtNcDestroy = false;
bool procRestoredAtNcDestroy = false;

LRESULT CALLBACK ObservingProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCDESTROY) {
        propsGoneAtNcDestroy = GetPropW(window, L"RFC") == nullptr &&
                               GetPropW(window, L"RFCOldProc") == nullptr &&
                               GetPropW(window, L"RFCClsName") == nullptr;
        procRestoredAtNcDestroy =
            reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC)) == ObservingProc;
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

TEST(KComponentTest, BindingLivesExactlyAsLongAsTheWindow) {
    // Creation: messages reach the component while CreateWindowExW runs.
    RecordingComponent created;
    created.SetText(KString(L"bound"));
    ASSERT_TRUE(created.CreateComponent());
    EXPECT_TRUE(created.handleKnownAtCreation);
    HWND h = created.GetHWND();
    EXPECT_EQ(GetPropW(h, L"RFC"), &created);
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetPropW(h, L"RFCOldProc")), SharedWindowProc)
        << "a window of the component's own class had SharedWindowProc before";
    EXPECT_STREQ(static_cast<const wchar_t*>(GetPropW(h, L"RFCClsName")),
                 created.GetComponentClassName());
    DestroyWindow(h);
    EXPECT_TRUE(created.propsPresentAtDestroy);

    // Attached: the previous procedure gets WM_NCDESTROY back, after the
    // properties are gone.
    WNDCLASSW wc = {};
    wc.lpfnWndProc = ObservingProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ObservedWindow";
    RegisterClassW(&wc);
    HWND observed = CreateWindowExW(0, L"ObservedWindow", L"", WS_POPUP, 0, 0, 10, 10, nullptr,
                                    nullptr, wc.hInstance, nullptr);
    KComponent attached;
    attached.AttachToWindow(observed);
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrW(observed, GWLP_WNDPROC)),
              SharedWindowProc);
    EXPECT_STREQ(attached.GetComponentClassName(), L"ObservedWindow");
    DestroyWindow(observed);
    EXPECT_TRUE(propsGoneAtNcDestroy);
    EXPECT_TRUE(procRestoredAtNcDestroy);

    // A window running SharedWindowProc without "RFC" gets DefWindowProcW.
    wc.lpfnWndProc = SharedWindowProc;
    wc.lpszClassName = L"UnboundWindow";
    RegisterClassW(&wc);
    HWND unbound = CreateWindowExW(0, L"UnboundWindow", L"plain", WS_POPUP, 0, 0, 10, 10, nullptr,
                                   nullptr, wc.hInstance, nullptr);
    ASSERT_NE(unbound, nullptr);
    wchar_t text[16] = {};
    GetWindowTextW(unbound, text, 16);
    EXPECT_STREQ(text, L"plain");
    DestroyWindow(unbound);
}

TEST(KComponentTest, AttachedStandardControlKeepsItsOwnBehaviour) {
    KWindow parent;
    parent.SetPosition(100, 120);
    ASSERT_TRUE(parent.CreateComponent());
    parent.SetVisible(true);
    HWND edit = CreateWindowExW(0, L"EDIT", L"ab", WS_CHILD | WS_VISIBLE, 10, 20, 120, 24,
                                parent.GetHWND(), nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(edit, nullptr);
    KComponent control;
    control.AttachToWindow(edit);
    EXPECT_EQ(GetPropW(edit, L"RFC"), &control);
    EXPECT_STRCASEEQ(KString(control.GetComponentClassName()), "Edit");
    EXPECT_STREQ(control.GetText(), L"ab");
    RECT r;
    GetWindowRect(edit, &r);
    EXPECT_EQ(control.GetX(), r.left) << "screen coordinates, not the parent's";
    EXPECT_EQ(control.GetY(), r.top);
    EXPECT_GE(control.GetX(), 110);
    EXPECT_EQ(control.GetWidth(), 120);
    EXPECT_EQ(control.GetParentHWND(), parent.GetHWND());
    EXPECT_TRUE(control.IsVisible());

    // Typing still reaches the edit control's own procedure.
    SendMessageW(edit, EM_SETSEL, 2, 2);
    SendMessageW(edit, WM_CHAR, L'c', 0);
    SendMessageW(edit, WM_CHAR, L'd', 0);
    wchar_t text[16] = {};
    GetWindowTextW(edit, text, 16);
    EXPECT_STREQ(text, L"abcd");
    DestroyWindow(parent.GetHWND());
}

TEST(KComponentTest, SettersStoreBeforeCreationAndApplyAfter) {
    KComponent c;
    EXPECT_FALSE(c.IsVisible()) << "no window yet";
    c.SetStyle(WS_POPUP | WS_BORDER);
    c.SetExStyle(WS_EX_TOOLWINDOW);
    c.SetSize(150, 90);
    c.SetPosition(40, 50);
    c.SetText(KString(L"first"));
    c.SetEnabled(false);
    EXPECT_EQ(c.GetHWND(), nullptr);
    ASSERT_TRUE(c.CreateComponent());
    HWND h = c.GetHWND();
    RECT r;
    GetWindowRect(h, &r);
    EXPECT_EQ(r.left, 40);
    EXPECT_EQ(r.top, 50);
    EXPECT_EQ(r.right - r.left, 150);
    EXPECT_EQ(r.bottom - r.top, 90);
    EXPECT_TRUE(IsWindowVisible(h)) << "shown because visible, without WS_VISIBLE in the style";
    EXPECT_FALSE(IsWindowEnabled(h));
    EXPECT_NE(GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);

    c.SetSize(60, 30);
    c.SetPosition(70, 80);
    c.SetText(KString(L"second"));
    c.SetEnabled(true);
    c.SetVisible(false);
    c.SetStyle(WS_POPUP);
    GetWindowRect(h, &r);
    EXPECT_EQ(r.left, 70);
    EXPECT_EQ(r.top, 80);
    EXPECT_EQ(r.right - r.left, 60);
    wchar_t text[16] = {};
    GetWindowTextW(h, text, 16);
    EXPECT_STREQ(text, L"second");
    EXPECT_TRUE(IsWindowEnabled(h));
    EXPECT_FALSE(IsWindowVisible(h));
    EXPECT_FALSE(c.IsVisible());
    EXPECT_EQ(GetWindowLongW(h, GWL_STYLE) & WS_BORDER, 0);
    EXPECT_EQ(c.GetX(), 70);
    DestroyWindow(h);

    // Nothing set: a window at the default position and size, style 0, no text.
    KComponent plain;
    EXPECT_EQ(plain.GetX(), static_cast<int>(CW_USEDEFAULT));
    EXPECT_EQ(plain.GetWidth(), static_cast<int>(CW_USEDEFAULT));
    ASSERT_TRUE(plain.CreateComponent());
    EXPECT_EQ(GetWindowTextLengthW(plain.GetHWND()), 0);
    DestroyWindow(plain.GetHWND());
}

// Creation refused by the window after its first messages: hwnd was recorded, but
// the handle is dead, so the component must not keep it.
class RefusingComponent : public KComponent {
  public:
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg == WM_NCCREATE) {
            return FALSE;
        }
        return KComponent::WindowProc(window, msg, wParam, lParam);
    }
};

TEST(KComponentTest, RefusedCreationLeavesNoHandle) {
    RefusingComponent c;
    EXPECT_FALSE(c.CreateComponent());
    EXPECT_EQ(c.GetHWND(), nullptr);
}

} // namespace
