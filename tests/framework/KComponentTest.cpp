#include "KComponent.h"

#include <gtest/gtest.h>

static int Props(HWND h) { // how many of its three properties the window carries
    return (GetPropW(h, L"RFC") != nullptr) + (GetPropW(h, L"RFCOldProc") != nullptr) +
           (GetPropW(h, L"RFCClsName") != nullptr);
}

// Records what its window procedure sees, also during CreateWindowExW.
struct RecordingComponent : KComponent {
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override {
        creationMessages += msg == WM_NCCREATE || msg == WM_CREATE;
        handleKnownAtCreation |= msg == WM_NCCREATE && GetHWND() == window;
        propsAtDestroy += msg == WM_DESTROY ? Props(window) : 0;
        return KComponent::WindowProc(window, msg, wParam, lParam);
    }
    bool handleKnownAtCreation = false;
    int creationMessages = 0, propsAtDestroy = 0;
};

// A creation binds exactly one window, from its first message to its destruction, and
// the class goes with the component.
TEST(KComponentTest, CreationBindsOneWindow) {
    KString name;
    {
        RecordingComponent c;
        name = c.GetComponentClassName();
        ASSERT_TRUE(c.CreateComponent());
        HWND h = c.GetHWND();
        EXPECT_EQ(FindWindowW(name, nullptr), h);
        EXPECT_TRUE(c.handleKnownAtCreation && Props(h) == 3 && GetPropW(h, L"RFC") == &c);
        EXPECT_EQ(GetPropW(h, L"RFCOldProc"), reinterpret_cast<void*>(SharedWindowProc));
        EXPECT_STREQ(static_cast<const wchar_t*>(GetPropW(h, L"RFCClsName")), name);
        EXPECT_EQ(c.creationMessages, 2) << "WM_NCCREATE and WM_CREATE of one window";
        DestroyWindow(h);
        EXPECT_EQ(c.propsAtDestroy, 3);
    }
    WNDCLASSW info;
    EXPECT_FALSE(GetClassInfoW(GetModuleHandleW(nullptr), name, &info));
}
