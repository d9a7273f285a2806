#include "KWindow.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "ObjectCounter.h"

TEST(KWindowTest, NewWindowIsHiddenTakesChildrenAndIconsAndRefusesDrops) {
    KWindow window;
    KComponent child;
    child.SetStyle(WS_CHILD);
    EXPECT_FALSE(window.AddComponent(&child) || window.AddComponent(nullptr)) << "no window yet";
    ASSERT_TRUE(window.CreateComponent());
    EXPECT_FALSE(IsWindowVisible(window.GetHWND()));
    ASSERT_TRUE(window.AddComponent(&child));
    EXPECT_EQ(GetParent(child.GetHWND()), window.GetHWND());
    EXPECT_FALSE(window.AddComponent(&child)) << "created twice";
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

// At WM_DESTROY a window takes its icons out of a class of its own, since the icon
// objects are destroyed after it; a class it was only attached in keeps the icon that
// class's other windows show.
TEST(KWindowTest, ClassIconsGoWithTheWindowOnlyFromItsOwnClass) {
    const HICON shared = LoadIconW(nullptr, IDI_APPLICATION);
    WNDCLASSW plain = {};
    plain.lpfnWndProc = DefWindowProcW;
    plain.hInstance = GetModuleHandleW(nullptr);
    plain.lpszClassName = L"SharedIconClass";
    ASSERT_TRUE(RegisterClassW(&plain));
    KWindow own, attached;
    ASSERT_TRUE(own.CreateComponent());
    attached.AttachToWindow(CreateWindowExW(0, plain.lpszClassName, L"", 0, 0, 0, 9, 9, nullptr,
                                            nullptr, plain.hInstance, nullptr));
    const KString ownClass = own.GetComponentClassName();
    for (KWindow* w : {&own, &attached}) {
        SetClassLongPtrW(w->GetHWND(), GCLP_HICON, LONG_PTR(shared));
        DestroyWindow(w->GetHWND());
    }
    WNDCLASSW after = {};
    ASSERT_TRUE(GetClassInfoW(plain.hInstance, ownClass, &after));
    EXPECT_EQ(after.hIcon, nullptr) << "its own class still shows the icon";
    ASSERT_TRUE(GetClassInfoW(plain.hInstance, plain.lpszClassName, &after));
    EXPECT_EQ(after.hIcon, shared) << "the shared class lost its icon";
    UnregisterClassW(plain.lpszClassName, plain.hInstance);
}
