#pragma once
// Plain windows of the tests' own classes, and what a window shows.

#include <windows.h>

#include <string>

inline HWND PlainWindow(const wchar_t* cls, WNDPROC proc, HWND parent = nullptr,
                        DWORD style = WS_POPUP, const wchar_t* text = L"") {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = cls;
    if (proc != nullptr) { // a class of the system otherwise
        RegisterClassW(&wc); // fails harmlessly once the class exists
    }
    return CreateWindowExW(0, cls, text, style, 10, 20, 120, 60, parent, nullptr, wc.hInstance,
                           nullptr);
}

inline std::wstring WindowText(HWND h) {
    wchar_t text[64] = {};
    GetWindowTextW(h, text, 64);
    return text;
}
