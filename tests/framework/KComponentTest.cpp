#include "KComponent.h"

#include <gtest/gtest.h>

#include "ApiHook.h"

static int Props(HWND h) { // how many of its three properties the window carries
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

static HHOOK WINAPI RefusedHook(int, HOOKPROC, HINSTANCE, DWORD) {
    return nullptr;
}

// A creation binds exactly one window. One that fails, before or after
// CreateWindowExW made a window, leaves neither a handle nor a window. Either
// way the class goes with the component.
TEST(KComponentTest, CreationBindsOneWindowOrLeavesNone) {
    enum { kCreated, kRefusedByTheWindow, kNoHook };
    for (int way : {kCreated, kRefusedByTheWindow, kNoHook}) {
        KString name;
        {
            RecordingComponent c;
            name = c.GetComponentClassName();
            c.refuse = way == kRefusedByTheWindow;
            ImportHook hook("user32.dll", "SetWindowsHookExW",
                            way == kNoHook ? &RefusedHook : &SetWindowsHookExW);
            EXPECT_EQ(c.CreateComponent(), way == kCreated) << way;
            HWND h = c.GetHWND();
            EXPECT_EQ(FindWindowW(name, nullptr), h) << way;
            HWND plain = CreateWindowExW(0, name, L"plain", 0, 0, 0, 9, 9, nullptr, nullptr,
                                         GetModuleHandleW(nullptr), nullptr);
            EXPECT_EQ(GetWindowTextLengthW(plain), 5) << "a window nobody claims: DefWindowProcW";
            if (way == kCreated) {
                EXPECT_TRUE(c.handleKnownAtCreation && Props(h) == 3 && GetPropW(h, L"RFC") == &c);
                EXPECT_EQ(GetPropW(h, L"RFCOldProc"), reinterpret_cast<void*>(SharedWindowProc));
                EXPECT_STREQ(static_cast<const wchar_t*>(GetPropW(h, L"RFCClsName")), name);
                EXPECT_FALSE(c.CreateComponent()) << "the class exists already";
                EXPECT_EQ(c.creationMessages, 2) << "WM_NCCREATE and WM_CREATE of one window";
            }
            DestroyWindow(h);
            DestroyWindow(plain);
            EXPECT_EQ(c.propsAtDestroy, way == kCreated ? 3 : 0);
        }
        WNDCLASSW info;
        EXPECT_FALSE(GetClassInfoW(GetModuleHandleW(nullptr), name, &info)) << way;
    }
}
