#include "KWindow.h"

#include <shellapi.h>

#include "KNotifications.h"
#include "KRuntime.h"
#include "KTimer.h"

namespace {
// The component bound to a child control's window, if the control has one.
KComponent* ComponentOf(LPARAM controlWindow) {
    return static_cast<KComponent*>(GetPropW(reinterpret_cast<HWND>(controlWindow), L"RFC"));
}

template <typename Interface> Interface* NotifiableOf(LPARAM controlWindow) {
    KComponent* component = ComponentOf(controlWindow);
    return component != nullptr ? dynamic_cast<Interface*>(component) : nullptr;
}

bool IsComboBox(LPARAM controlWindow) {
    auto name =
        static_cast<const wchar_t*>(GetPropW(reinterpret_cast<HWND>(controlWindow), L"RFCClsName"));
    return name != nullptr && lstrcmpiW(name, L"COMBOBOX") == 0;
}

bool HasClassName(LPARAM controlWindow) {
    return GetPropW(reinterpret_cast<HWND>(controlWindow), L"RFCClsName") != nullptr;
}

// Routes a WM_COMMAND; true when an object took it.
bool RouteCommand(WPARAM wParam, LPARAM lParam) {
    const WORD code = HIWORD(wParam);
    if (code == 0 && lParam == 0) {
        KRuntime* runtime = KRuntime::GetInstance();
        KMenuItem* item = runtime != nullptr ? runtime->GetMenuItemByID(LOWORD(wParam)) : nullptr;
        if (item != nullptr) {
            item->OnMenuItemPress();
            return true;
        }
        return false;
    }
    if (lParam == 0) {
        return false;
    }
    if (code == 0) {
        if (auto target = NotifiableOf<KPressNotifiable>(lParam)) {
            target->OnPress();
            return true;
        }
    } else if (code == 1) {
        if (HasClassName(lParam) && !IsComboBox(lParam)) {
            if (auto target = NotifiableOf<KListSelectNotifiable>(lParam)) {
                target->OnListItemSelect();
                return true;
            }
        }
    } else if (code == 9) {
        if (auto target = NotifiableOf<KComboSelectNotifiable>(lParam)) {
            target->OnComboItemSelect();
            return true;
        }
    }
    return false;
}

bool RouteScroll(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 5:
    case 6:
    case 7:
        if (lParam != 0) {
            if (auto target = NotifiableOf<KScrollNotifiable>(lParam)) {
                target->OnScrollChange();
                return true;
            }
        }
        return false;
    default: // thumb position (4) and end scroll (8) are not routed
        return false;
    }
}
} // namespace

KWindow::KWindow() {
    StoreText(KString(L"KWindow"));
    StoreSize(400, 200);
    StoreVisible(false);
    StoreStyle(WS_POPUP);
    StoreExStyle(WS_EX_APPWINDOW | WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES);
    // 0x23: redraw on resize, and a device context of its own. No CS_DBLCLKS, so a
    // quick second click still arrives as a button-down (the flat window drags on it).
    windowClass.style = CS_OWNDC | CS_HREDRAW | CS_VREDRAW;
}

KWindow::~KWindow() {}

LRESULT KWindow::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_DESTROY:
        // A class of the window's own: its icons go with the window, so the icon
        // objects may be destroyed once it is gone (before the class is). A
        // window attached in its class keeps the icons that class's others show.
        if (classRegistered) {
            SetIcon(nullptr);
        }
        OnDestroy();
        return 0;
    case WM_CLOSE:
        OnClose();
        return 0;
    case WM_COMMAND:
        if (RouteCommand(wParam, lParam)) {
            return 0;
        }
        break;
    case WM_TIMER:
        if (KTimer::Dispatch(wParam)) {
            return 0;
        }
        break;
    case WM_HSCROLL:
    case WM_VSCROLL:
        if (RouteScroll(wParam, lParam)) {
            return 0;
        }
        break;
    case WM_DROPFILES:
        // The window accepts dropped files but takes none; the drop handle is ours to release.
        DragFinish(reinterpret_cast<HDROP>(wParam));
        return 0;
    default:
        if (KTimer::HandleRequest(window, msg, wParam, lParam)) {
            return 0;
        }
        break;
    }
    return KComponent::WindowProc(window, msg, wParam, lParam);
}

void KWindow::SetIcon(KIcon* icon) {
    if (hwnd != nullptr) {
        // No icon object clears the class icons. The small one is the icon's own
        // small image: without it the system would shrink the large one.
        HICON large = icon != nullptr ? icon->GetHandle() : nullptr;
        HICON smallIcon = icon != nullptr ? icon->GetSmallHandle() : nullptr;
        SetClassLongPtrW(hwnd, GCLP_HICON, reinterpret_cast<LONG_PTR>(large));
        SetClassLongPtrW(hwnd, GCLP_HICONSM, reinterpret_cast<LONG_PTR>(smallIcon));
    }
}

void KWindow::OnClose() {
    DestroyWindow(hwnd);
}

void KWindow::OnDestroy() {
    PostQuitMessage(0);
}

void KWindow::CenterScreen() {
    SetPosition((GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
}

bool KWindow::AddComponent(KComponent* c) {
    if (c == nullptr || hwnd == nullptr) {
        return false;
    }
    c->SetParentHWND(hwnd);
    return c->CreateComponent();
}

KFrame::KFrame() {
    StoreText(KString(L"KFrame"));
    StoreStyle(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
}
