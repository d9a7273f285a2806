#include "ControlTestSupport.h"

#include "FlatTheme.h"
#include "UiHelpers.h"

void EnsureFlatTheme() {
    static bool made = false;
    if (!made) {
        CreateFlatTheme();
        made = true;
    }
}

PixelCanvas::PixelCanvas(int w, int h, COLORREF fill)
    : width(w), height(h), memoryDC(CreateCompatibleDC(nullptr)), bits(nullptr) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h; // top-down: row y is bits[y * width]
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* raw = nullptr;
    bitmap = CreateDIBSection(memoryDC, &info, DIB_RGB_COLORS, &raw, nullptr, 0);
    bits = static_cast<DWORD*>(raw);
    previous = SelectObject(memoryDC, bitmap);
    HBRUSH brush = CreateSolidBrush(fill);
    RECT all = {0, 0, w, h};
    FillRect(memoryDC, &all, brush);
    DeleteObject(brush);
}

PixelCanvas::~PixelCanvas() {
    SelectObject(memoryDC, previous);
    DeleteObject(bitmap);
    DeleteDC(memoryDC);
}

COLORREF PixelCanvas::At(int x, int y) const {
    GdiFlush();
    const DWORD p = bits[y * width + x]; // 0x00RRGGBB in a DIB
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
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

int PixelCanvas::Count(COLORREF color) const {
    RECT all = {0, 0, width, height};
    return Count(color, all);
}

HostWindow::HostWindow(int left, int top, int w, int h, DWORD windowStyle) {
    EnsureFlatTheme();
    if (windowStyle != 0) {
        SetStyle(windowStyle);
    }
    SetSize(w, h);
    SetPosition(left, top);
    CreateComponent();
    SetVisible(true);
    PaintNow(hwnd);
}

HostWindow::~HostWindow() {
    if (IsWindow(hwnd)) {
        DestroyWindow(hwnd);
    }
}

void PaintNow(HWND window) {
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpMessages(20);
}

void MoveCursorTo(HWND window, int clientX, int clientY) {
    POINT p = {clientX, clientY};
    ClientToScreen(window, &p);
    SetCursorPos(p.x, p.y);
}

void SendPress(HWND window, int clientX, int clientY) {
    MoveCursorTo(window, clientX, clientY);
    SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(clientX, clientY));
}

void SendRelease(HWND window, int clientX, int clientY) {
    MoveCursorTo(window, clientX, clientY);
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(clientX, clientY));
}

void SendMove(HWND window, int clientX, int clientY) {
    MoveCursorTo(window, clientX, clientY);
    SendMessageW(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(clientX, clientY));
}
