#include "FWindow.h"

#include "FlatPaint.h"
#include "FlatTheme.h"

FWindow::FWindow() : dragOffsetX(0), dragOffsetY(0), isDragging(false) {
    // Replaces the frame's captioned style: no caption, no border.
    StoreStyle(WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX);
}

LRESULT FWindow::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT:
        return OnPaint(wParam, lParam);
    case WM_ERASEBKGND:
        return OnEraseBackground(wParam, lParam);
    case WM_MOUSEMOVE:
        return OnMouseMove(wParam, lParam);
    case WM_LBUTTONDOWN:
        return OnMouseDown(wParam, lParam);
    case WM_LBUTTONUP:
        return OnMouseUp(wParam, lParam);
    case WM_CAPTURECHANGED:
        // Whoever took the capture (a message box disabling us, another
        // window), the release will not reach us: the drag is over.
        isDragging = false;
        return KWindow::WindowProc(window, msg, wParam, lParam);
    default:
        return KWindow::WindowProc(window, msg, wParam, lParam);
    }
}

BOOL FWindow::SetAlpha(BYTE alpha) {
    // Off, then on again: a window that was already layered starts afresh.
    LONG ex = GetWindowLongW(hwnd, GWL_EXSTYLE);
    SetWindowLongW(hwnd, GWL_EXSTYLE, ex & ~WS_EX_LAYERED);
    ex = GetWindowLongW(hwnd, GWL_EXSTYLE);
    SetWindowLongW(hwnd, GWL_EXSTYLE, ex | WS_EX_LAYERED);
    return SetLayeredWindowAttributes(hwnd, 0, alpha, LWA_ALPHA);
}

void FWindow::DrawFace(HDC dc) {
    RECT r = FlatClientRect(hwnd, width, height);
    FillRect(dc, &r, FlatTheme.backBrush);
    InflateRect(&r, -5, -5);
    FrameRect(dc, &r, FlatTheme.frameBrush);
}

LRESULT FWindow::OnPaint(WPARAM, LPARAM) {
    return PaintOffscreen(hwnd, width, height, [this](HDC dc) { DrawFace(dc); });
}

LRESULT FWindow::OnEraseBackground(WPARAM, LPARAM) {
    return FlatEraseBackground();
}

LRESULT FWindow::OnMouseDown(WPARAM wParam, LPARAM lParam) {
    // Capture first: taking it tells its previous holder, which may be us.
    SetCapture(hwnd);
    isDragging = true;
    RECT client, outer;
    GetClientRect(hwnd, &client);
    GetWindowRect(hwnd, &outer);
    // One side border; the rest of the vertical non-client height is taken to
    // be the caption and top border, so a bordered window does not jump.
    const int border = (outer.right - outer.left - client.right) / 2;
    const int x = LOWORD(lParam);
    const int y = HIWORD(lParam);
    dragOffsetX = x + border;
    dragOffsetY = y + (outer.bottom - outer.top - client.bottom) - border;
    return DefaultProcessing(hwnd, WM_LBUTTONDOWN, wParam, lParam);
}

LRESULT FWindow::OnMouseMove(WPARAM wParam, LPARAM lParam) {
    // A move with the button up means the release went elsewhere.
    if (isDragging && (wParam & MK_LBUTTON) != 0) {
        POINT p = {0, 0};
        GetCursorPos(&p);
        SetWindowPos(hwnd, nullptr, p.x - dragOffsetX, p.y - dragOffsetY, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER);
    }
    return DefaultProcessing(hwnd, WM_MOUSEMOVE, wParam, lParam);
}

LRESULT FWindow::OnMouseUp(WPARAM wParam, LPARAM lParam) {
    isDragging = false;
    ReleaseCapture();
    return DefaultProcessing(hwnd, WM_LBUTTONUP, wParam, lParam);
}
