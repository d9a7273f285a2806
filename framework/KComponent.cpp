#include "KComponent.h"

#include <cstdio>

#include "KRuntime.h"

namespace {
// Guarded by creationLock: one window is created at a time in the process.
KComponent* componentBeingCreated = nullptr;
const wchar_t* classBeingCreated = nullptr; // the characters of its windowClassName
HHOOK creationHook = nullptr;
// Guarded by KRuntime::lock.
wchar_t classNameBuffer[32];

const wchar_t kPropComponent[] = L"RFC";
const wchar_t kPropOldProc[] = L"RFCOldProc";
const wchar_t kPropClassName[] = L"RFCClsName";

LRESULT CALLBACK CreationHookProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code != HCBT_CREATEWND) {
        return CallNextHookEx(creationHook, code, wParam, lParam);
    }
    HWND window = reinterpret_cast<HWND>(wParam);
    // Only the window that was asked for is bound. The system may create helper
    // windows of its own meanwhile (Wine makes the thread's default IME window
    // during its first top-level creation); bound to the component, such a window
    // would outlive it and call into a deleted object.
    wchar_t actual[256];
    if (componentBeingCreated == nullptr || classBeingCreated == nullptr ||
        GetClassNameW(window, actual, 256) == 0 || lstrcmpiW(actual, classBeingCreated) != 0) {
        return CallNextHookEx(creationHook, code, wParam, lParam);
    }
    SetPropW(window, kPropComponent, componentBeingCreated);
    SetPropW(window, kPropOldProc,
             reinterpret_cast<HANDLE>(GetWindowLongPtrW(window, GWLP_WNDPROC)));
    SetPropW(window, kPropClassName, const_cast<wchar_t*>(classBeingCreated));
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SharedWindowProc));
    componentBeingCreated = nullptr; // one window per creation
    return 0;
}
} // namespace

KComponent::KComponent()
    : hwnd(nullptr), parentHwnd(nullptr), style(0), exStyle(0), x(CW_USEDEFAULT), y(CW_USEDEFAULT),
      width(CW_USEDEFAULT), height(CW_USEDEFAULT), visible(true), enabled(true),
      classRegistered(false), font(nullptr), cursor(nullptr) {
    KRuntime* runtime = KRuntime::GetInstance();
    if (runtime != nullptr) {
        EnterCriticalSection(&runtime->lock);
        // Tick count plus a counter that only grows: no two components share a name.
        swprintf(classNameBuffer, 32, L"RFC_%d",
                 static_cast<int>(GetTickCount() + static_cast<DWORD>(runtime->classCounter)));
        className = classNameBuffer;
        ++runtime->classCounter;
        LeaveCriticalSection(&runtime->lock);
    }
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.cbSize = sizeof(WNDCLASSEXW);
    windowClass.lpfnWndProc = SharedWindowProc;
    windowClass.hInstance = KRuntime::ModuleInstance();
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = className;
    font = KFont::GetDefaultFont();
}

KComponent::~KComponent() {
    if (classRegistered) {
        UnregisterClassW(className, KRuntime::ModuleInstance());
    }
}

LRESULT KComponent::DefaultProcessing(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto oldProc = reinterpret_cast<WNDPROC>(GetPropW(window, kPropOldProc));
    if (oldProc != nullptr && oldProc != SharedWindowProc) {
        return CallWindowProcW(oldProc, window, msg, wParam, lParam);
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

void KComponent::ReadAttributesFromWindow() {
    RECT r;
    GetWindowRect(hwnd, &r);
    x = r.left;
    y = r.top;
    width = r.right - r.left;
    height = r.bottom - r.top;
    visible = IsWindowVisible(hwnd) != FALSE;
    enabled = IsWindowEnabled(hwnd) != FALSE;
    style = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
    exStyle = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE));
    parentHwnd = GetParent(hwnd);
    wchar_t buffer[256];
    buffer[0] = L'\0';
    GetWindowTextW(hwnd, buffer, 255);
    buffer[254] = L'\0';
    text = buffer;
}

void KComponent::AttachToWindow(HWND h) {
    hwnd = h;
    SetPropW(h, kPropComponent, this);
    SetPropW(h, kPropOldProc, reinterpret_cast<HANDLE>(GetWindowLongPtrW(h, GWLP_WNDPROC)));
    wchar_t name[64];
    name[0] = L'\0';
    GetClassNameW(h, name, 64);
    className = name;
    GetClassInfoExW(KRuntime::ModuleInstance(), className, &windowClass);
    windowClass.lpszClassName = className;
    SetPropW(h, kPropClassName, const_cast<wchar_t*>(static_cast<const wchar_t*>(className)));
    SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SharedWindowProc));
    ReadAttributesFromWindow();
}

void KComponent::SetMouseCursor(KCursor* c) {
    cursor = c;
    if (hwnd != nullptr) {
        SetClassLongPtrW(hwnd, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(c->GetHandle()));
    }
}

KString KComponent::GetComponentClassName() {
    return className;
}

bool KComponent::CreateComponent() {
    if (!RegisterClassExW(&windowClass)) {
        return false;
    }
    classRegistered = true;
    HWND created = CreateComponentWindow(this);
    if (hwnd == nullptr) {
        // A window the hook did not bind would never be destroyed, and its class
        // could then not be unregistered.
        if (created != nullptr) {
            DestroyWindow(created);
        }
        return false;
    }
    if (created == nullptr) {
        // The window saw messages (so hwnd was recorded) but creation failed in
        // the end: that handle is already gone.
        hwnd = nullptr;
        return false;
    }
    EnableWindow(hwnd, enabled);
    if (IsVisible()) {
        SetVisible(true);
    }
    if (cursor != nullptr) {
        SetClassLongPtrW(hwnd, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(cursor->GetHandle()));
    }
    return true;
}

LRESULT KComponent::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefaultProcessing(window, msg, wParam, lParam);
}

void KComponent::SetFont(KFont* f) {
    font = f;
    if (hwnd != nullptr) {
        SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(f->GetHandle()), TRUE);
    }
}

KFont* KComponent::GetFont() {
    return font;
}

KString KComponent::GetText() {
    return text;
}

void KComponent::SetText(const KString& s) {
    text = s;
    if (hwnd != nullptr) {
        SetWindowTextW(hwnd, s);
    }
}

void KComponent::SetHWND(HWND h) {
    hwnd = h;
}

HWND KComponent::GetHWND() {
    return hwnd;
}

void KComponent::SetParentHWND(HWND h) {
    parentHwnd = h;
    if (hwnd != nullptr) {
        SetParent(hwnd, h);
    }
}

HWND KComponent::GetParentHWND() {
    return parentHwnd;
}

DWORD KComponent::GetStyle() {
    return style;
}

void KComponent::SetStyle(DWORD s) {
    style = s;
    if (hwnd != nullptr) {
        SetWindowLongW(hwnd, GWL_STYLE, static_cast<LONG>(s));
    }
}

DWORD KComponent::GetExStyle() {
    return exStyle;
}

void KComponent::SetExStyle(DWORD s) {
    exStyle = s;
    if (hwnd != nullptr) {
        SetWindowLongW(hwnd, GWL_EXSTYLE, static_cast<LONG>(s));
    }
}

int KComponent::GetX() {
    return x;
}
int KComponent::GetY() {
    return y;
}
int KComponent::GetWidth() {
    return width;
}
int KComponent::GetHeight() {
    return height;
}

void KComponent::SetSize(int w, int h) {
    width = w;
    height = h;
    if (hwnd != nullptr) {
        SetWindowPos(hwnd, HWND_TOP, 0, 0, w, h, SWP_NOMOVE | SWP_NOOWNERZORDER);
    }
}

void KComponent::SetPosition(int newX, int newY) {
    x = newX;
    y = newY;
    if (hwnd != nullptr) {
        SetWindowPos(hwnd, HWND_TOP, newX, newY, 0, 0, SWP_NOSIZE | SWP_NOOWNERZORDER);
    }
}

void KComponent::SetVisible(bool b) {
    visible = b;
    if (hwnd != nullptr) {
        ShowWindow(hwnd, b ? SW_SHOW : SW_HIDE);
    }
}

bool KComponent::IsVisible() {
    return hwnd != nullptr ? visible : false;
}

bool KComponent::IsEnabled() {
    return enabled;
}

void KComponent::SetEnabled(bool b) {
    enabled = b;
    if (hwnd != nullptr) {
        EnableWindow(hwnd, b);
    }
}

void KComponent::BringToFront() {
    if (hwnd != nullptr) {
        BringWindowToTop(hwnd);
    }
}

void KComponent::SetKeyboardFocus() {
    if (hwnd != nullptr) {
        SetFocus(hwnd);
    }
}

void KComponent::Repaint() {
    if (hwnd != nullptr) {
        InvalidateRect(hwnd, nullptr, TRUE);
    }
}

LRESULT CALLBACK SharedWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto component = static_cast<KComponent*>(GetPropW(window, kPropComponent));
    if (component == nullptr) {
        return DefWindowProcW(window, msg, wParam, lParam);
    }
    if (component->GetHWND() == nullptr) {
        // Creation-time messages arrive before CreateWindowExW returns.
        component->SetHWND(window);
    }
    if (msg == WM_NCDESTROY) {
        RemovePropW(window, kPropComponent);
        RemovePropW(window, kPropClassName);
        auto oldProc = reinterpret_cast<WNDPROC>(GetPropW(window, kPropOldProc));
        if (oldProc != nullptr) {
            RemovePropW(window, kPropOldProc);
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(oldProc));
            return CallWindowProcW(oldProc, window, WM_NCDESTROY, wParam, lParam);
        }
    }
    return component->WindowProc(window, msg, wParam, lParam);
}

HWND CreateComponentWindow(KComponent* component) {
    EnterCriticalSection(&creationLock);
    componentBeingCreated = component;
    component->windowClassName = component->GetComponentClassName();
    classBeingCreated = component->windowClassName;
    creationHook = SetWindowsHookExW(WH_CBT, CreationHookProc, nullptr, GetCurrentThreadId());
    KString text = component->GetText();
    HWND created = CreateWindowExW(
        component->GetExStyle(), classBeingCreated, text, component->GetStyle(), component->GetX(),
        component->GetY(), component->GetWidth(), component->GetHeight(),
        component->GetParentHWND(), nullptr, KRuntime::ModuleInstance(), nullptr);
    UnhookWindowsHookEx(creationHook);
    creationHook = nullptr;
    componentBeingCreated = nullptr;
    classBeingCreated = nullptr;
    LeaveCriticalSection(&creationLock);
    return created;
}
