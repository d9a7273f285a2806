#include "FlatPaint.h"

OffscreenCanvas::OffscreenCanvas(HDC target, int w, int h)
    : memoryDC(CreateCompatibleDC(target)), bitmap(CreateCompatibleBitmap(target, w, h)),
      savedState(0), width(w), height(h) {
    savedState = SaveDC(memoryDC);
    SelectObject(memoryDC, bitmap);
}

OffscreenCanvas::~OffscreenCanvas() {
    // Restoring the saved state deselects the bitmap, so it can be deleted.
    RestoreDC(memoryDC, savedState);
    DeleteObject(bitmap);
    DeleteDC(memoryDC);
}

void OffscreenCanvas::CopyTo(HDC target) const {
    BitBlt(target, 0, 0, width, height, memoryDC, 0, 0, SRCCOPY);
}

TextStyleScope::TextStyleScope(HDC target, HFONT font, COLORREF color)
    : dc(target), previousFont(nullptr) {
    if (font != nullptr) {
        previousFont = SelectObject(dc, font);
    }
    previousColor = SetTextColor(dc, color);
    previousMode = SetBkMode(dc, TRANSPARENT);
}

TextStyleScope::~TextStyleScope() {
    SetBkMode(dc, previousMode);
    SetTextColor(dc, previousColor);
    if (previousFont != nullptr) {
        SelectObject(dc, previousFont);
    }
}

RECT FlatClientRect(HWND window, int width, int height) {
    RECT r = {0, 0, width, height};
    if (window != nullptr) {
        GetClientRect(window, &r);
    }
    return r;
}

void DrawFlatText(HDC dc, const wchar_t* text, RECT rect, UINT format) {
    if (text != nullptr && text[0] != L'\0') {
        DrawTextW(dc, text, -1, &rect, format);
    }
}

POINT CursorInClient(HWND window) {
    POINT p = {0, 0};
    GetCursorPos(&p);
    ScreenToClient(window, &p);
    return p;
}
