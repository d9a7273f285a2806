#include "KWindow.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <iterator>

#include "KNotifications.h"
#include "KRuntime.h"
#include "KTimer.h"
#include "ObjectCounter.h"
#include "TestWindows.h"

TEST(KWindowTest, NewWindowIsHiddenCentresTakesChildrenAndIconsAndRefusesDrops) {
    KWindow window;
    KComponent child;
    child.SetStyle(WS_CHILD);
    EXPECT_FALSE(window.AddComponent(&child) || child.GetHWND()) << "no window yet";
    ASSERT_TRUE(window.CreateComponent());
    EXPECT_FALSE(IsWindowVisible(window.GetHWND()));
    window.CenterScreen(); // 400 x 200 on the tests' screen of 1024 x 768
    EXPECT_TRUE(window.GetX() == 312 && window.GetY() == 284);
    window.SetSize(2001, 200); // wider than the screen: the half is truncated toward zero
    window.CenterScreen();
    EXPECT_EQ(window.GetX(), -488);

    EXPECT_FALSE(window.AddComponent(nullptr));
    ASSERT_TRUE(window.AddComponent(&child));
    EXPECT_EQ(GetParent(child.GetHWND()), window.GetHWND());
    EXPECT_FALSE(window.AddComponent(&child)) << "a second creation of the child fails";
    HWND w = window.GetHWND();
    HICON smallIcon = nullptr;
    { // the class icons: the icon's own two images, then cleared by no icon
        KIcon icon;
        icon.LoadFromResource(102);
        window.SetIcon(&icon);
        EXPECT_EQ(HICON(GetClassLongPtrW(w, GCLP_HICON)), icon.GetHandle());
        smallIcon = HICON(GetClassLongPtrW(w, GCLP_HICONSM));
        ICONINFO info = {};
        BITMAP image = {};
        ASSERT_TRUE(GetIconInfo(smallIcon, &info) &&
                    GetObjectW(info.hbmColor, sizeof(image), &image));
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        EXPECT_EQ(image.bmWidth, GetSystemMetrics(SM_CXSMICON));
        window.SetIcon(nullptr);
        EXPECT_FALSE(GetClassLongPtrW(w, GCLP_HICON) || GetClassLongPtrW(w, GCLP_HICONSM));
    }
    EXPECT_TRUE(ObjectCounter::WasDeleted(smallIcon)) << "not a copy of the system's, and released";

    // A drop of files is refused, and the drop handle released.
    HGLOBAL drop = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + 8);
    auto files = static_cast<DROPFILES*>(GlobalLock(drop));
    files->pFiles = sizeof(DROPFILES);
    files->fWide = TRUE;
    lstrcpyW(reinterpret_cast<wchar_t*>(files + 1), L"a"); // and the list's closing empty name
    GlobalUnlock(drop);
    EXPECT_EQ(SendMessageW(w, WM_DROPFILES, WPARAM(drop), 0), 0);
    EXPECT_EQ(GlobalFlags(drop), UINT(GMEM_INVALID_HANDLE)) << "the drop handle is left behind";
    DestroyWindow(w);
}

// The notifications a KWindow routes, observed from both ends: the objects that
// provide an operation get the call, everything else reaches the window's
// previous procedure (default processing).
static int defaultProcessed = 0, leftAtNcDestroy = -1;
static std::wstring lastCall;
static LRESULT CALLBACK CountingParentProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    defaultProcessed += msg >= WM_COMMAND && msg <= WM_VSCROLL; // with WM_TIMER
    if (msg == WM_NCDESTROY) { // the framework's properties and procedure: all gone by now
        leftAtNcDestroy = !!GetPropW(window, L"RFC") + !!GetPropW(window, L"RFCOldProc") +
                          !!GetPropW(window, L"RFCClsName") +
                          (GetWindowLongPtrW(window, GWLP_WNDPROC) != LONG_PTR(CountingParentProc));
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

struct NotifiedControl : KComponent, KPressNotifiable, KListSelectNotifiable,
                         KComboSelectNotifiable, KScrollNotifiable {
    // A system class, named the way such an override does: a fresh string per call.
    KString GetComponentClassName() override {
        return systemClass != nullptr ? KString(systemClass) : KComponent::GetComponentClassName();
    }
    void OnPress() override { lastCall = L"press"; }
    void OnListItemSelect() override { lastCall = L"list"; }
    void OnComboItemSelect() override { lastCall = L"combo"; }
    void OnScrollChange() override { lastCall = L"scroll"; }
    const wchar_t* systemClass = nullptr;
};

struct Receiver : KMenuItem, KTimerListener {
    void OnMenuItemPress() override { lastCall = L"menu"; }
    void OnTimer(KTimer*) override { lastCall = L"tick"; }
};

TEST(KWindowTest, NotificationsReachOnlyObjectsThatProvideThem) {
    KWindow parent;
    parent.AttachToWindow(PlainWindow(L"RoutingParent", CountingParentProc));
    auto child = [&](KComponent& c, const wchar_t* cls) {
        c.AttachToWindow(PlainWindow(cls, nullptr, parent.GetHWND(), WS_CHILD));
        return c.GetHWND();
    };
    NotifiedControl list, button, combo;
    KComponent silent; // provides no notification operation
    HWND listH = child(list, L"LISTBOX"), buttonH = child(button, L"BUTTON"),
         silentH = child(silent, L"BUTTON");
    HWND foreign = PlainWindow(L"BUTTON", nullptr, parent.GetHWND(), WS_CHILD); // no component
    combo.systemClass = L"COMBOBOX";
    combo.SetStyle(WS_CHILD);
    ASSERT_TRUE(parent.AddComponent(&combo));
    std::vector<KString> churn; // new texts of the name's size, should its storage be freed
    std::generate_n(std::back_inserter(churn), 64, [] { return KString(L"LISTBOX!"); });
    HWND comboH = combo.GetHWND();
    EXPECT_TRUE(list.GetX() == 20 && list.GetY() == 40) << "attached: screen coordinates";

    KRuntime* runtime = KRuntime::GetInstance();
    Receiver receiver;
    const WORD item = WORD(KRuntime::firstMenuItemID + runtime->menuItemRegistry->GetCount());
    runtime->menuItemRegistry->Add(&receiver);
    KTimer ticking, deaf; // the second has no listener
    ticking.SetListener(&receiver);
    const WORD tick = WORD(ticking.GetTimerID()), none = WORD(deaf.GetTimerID());
    struct {
        UINT msg;
        WORD code, low;
        HWND from;
        const wchar_t* call; // null: default processing
    } cases[] = {
        {WM_COMMAND, 0, 1, buttonH, L"press"}, {WM_COMMAND, 1, 1, listH, L"list"},
        {WM_COMMAND, 1, 1, comboH, nullptr},   {WM_COMMAND, 9, 1, comboH, L"combo"},
        {WM_COMMAND, 5, 1, buttonH, nullptr},  {WM_COMMAND, 0, 1, silentH, nullptr},
        {WM_COMMAND, 0, 1, foreign, nullptr},  {WM_COMMAND, 0, item, nullptr, L"menu"},
        {WM_COMMAND, 0, WORD(item + 1), nullptr, nullptr},
        {WM_HSCROLL, 0, SB_LINEDOWN, listH, L"scroll"}, {WM_VSCROLL, 0, 7, listH, L"scroll"},
        {WM_VSCROLL, 0, SB_THUMBTRACK, listH, L"scroll"}, {WM_HSCROLL, 0, SB_ENDSCROLL, listH, 0},
        {WM_HSCROLL, 0, SB_THUMBPOSITION, listH, 0},    {WM_TIMER, 0, tick, nullptr, L"tick"},
        {WM_TIMER, 0, none, nullptr, L""},     {WM_TIMER, 0, WORD(none + 1), nullptr, nullptr},
        {WM_TIMER, 0, 1000, nullptr, nullptr}, {WM_TIMER, 0xFFFF, 0xFFFF, nullptr, nullptr}};
    for (const auto& c : cases) {
        const int defaultBefore = defaultProcessed;
        lastCall.clear();
        LRESULT result =
            SendMessageW(parent.GetHWND(), c.msg, MAKEWPARAM(c.low, c.code), LPARAM(c.from));
        EXPECT_EQ(lastCall, c.call != nullptr ? c.call : L"") << "row " << &c - cases;
        EXPECT_EQ(defaultProcessed - defaultBefore, c.call == nullptr ? 1 : result) << &c - cases;
    }
    runtime->menuItemRegistry->SetAt(item - KRuntime::firstMenuItemID, nullptr);
    // The class is shared, not the window's own: its icon stays for the others.
    const HICON shared = LoadIconW(nullptr, IDI_APPLICATION);
    SetClassLongPtrW(parent.GetHWND(), GCLP_HICON, LONG_PTR(shared));
    DestroyWindow(parent.GetHWND());
    EXPECT_EQ(leftAtNcDestroy, 0);
    WNDCLASSW routing = {};
    GetClassInfoW(GetModuleHandleW(nullptr), L"RoutingParent", &routing);
    EXPECT_EQ(routing.hIcon, shared);
}

