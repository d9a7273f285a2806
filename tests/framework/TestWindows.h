#pragma once
// Plain windows of the tests' own classes (or of the system's, without a procedure).
#include <windows.h>

inline HWND PlainWindow(const wchar_t* cls, WNDPROC proc, HWND parent = nullptr,
                        DWORD style = WS_POPUP) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = cls;
    (void)(proc != nullptr && RegisterClassW(&wc)); // fails harmlessly once registered
    return CreateWindowExW(0, cls, L"", style, 10, 20, 120, 60, parent, nullptr, wc.hInstance,
                           nullptr);
}
