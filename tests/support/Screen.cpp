#include "Screen.h"

#include <algorithm>

PixelCanvas::PixelCanvas(int w, int h) : width(w), height(h) {
    HDC screen = GetDC(nullptr);
    memoryDC = CreateCompatibleDC(screen);
    bitmap = CreateCompatibleBitmap(screen, w, h);
    ReleaseDC(nullptr, screen);
    previous = SelectObject(memoryDC, bitmap);
    HBRUSH brush = CreateSolidBrush(untouched);
    RECT all = {0, 0, w, h};
    FillRect(memoryDC, &all, brush);
    DeleteObject(brush);
}

PixelCanvas::~PixelCanvas() {
    SelectObject(memoryDC, previous);
    DeleteObject(bitmap);
    DeleteDC(memoryDC);
}

void PixelCanvas::CaptureWindow(HWND window) {
    HDC windowDC = GetDC(window);
    BitBlt(memoryDC, 0, 0, width, height, windowDC, 0, 0, SRCCOPY);
    ReleaseDC(window, windowDC);
}

int PixelCanvas::Count(COLORREF color, RECT area) const {
    int n = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            n += At(x, y) == color ? 1 : 0;
        }
    }
    return n;
}

RECT PixelCanvas::Bounds(COLORREF color, RECT area) const {
    RECT b = {-1, -1, -1, -1};
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            if (At(x, y) == color) {
                b = b.left < 0 ? RECT{x, y, x + 1, y + 1}
                               : RECT{std::min<LONG>(b.left, x), b.top,
                                      std::max<LONG>(b.right, x + 1), y + 1};
            }
        }
    }
    return b;
}

bool PixelCanvas::SameAs(const PixelCanvas& other) const {
    PixelCanvas difference(width, height); // black where both agree
    BitBlt(difference.dc(), 0, 0, width, height, memoryDC, 0, 0, SRCCOPY);
    BitBlt(difference.dc(), 0, 0, width, height, other.dc(), 0, 0, SRCINVERT);
    return difference.Count(RGB(0, 0, 0)) == width * height;
}

ScreenGrab::ScreenGrab(int left, int top, int w, int h) : PixelCanvas(w, h) {
    HDC screen = GetDC(nullptr);
    BitBlt(dc(), 0, 0, w, h, screen, left, top, SRCCOPY);
    ReleaseDC(nullptr, screen);
}

namespace {
struct Search {
    const wchar_t* caption;
    const wchar_t* className;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM param) {
    auto search = reinterpret_cast<Search*>(param);
    wchar_t text[256] = {}, cls[256] = {};
    GetWindowTextW(window, text, 256);
    GetClassNameW(window, cls, 256);
    if (search->caption == nullptr ||
        (lstrcmpW(text, search->caption) == 0 &&
         (search->className == nullptr || lstrcmpiW(cls, search->className) == 0))) {
        search->found.push_back(window);
    }
    return TRUE;
}
} // namespace

std::vector<HWND> FindTopLevelWindows(const wchar_t* caption, const wchar_t* className) {
    Search search = {caption, className, {}};
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> ChildWindows(HWND parent) {
    Search all = {nullptr, nullptr, {}}; // no caption: every window
    EnumChildWindows(parent, Collect, reinterpret_cast<LPARAM>(&all));
    return all.found;
}

RECT RectInParent(HWND window, HWND parent) {
    RECT r;
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}
