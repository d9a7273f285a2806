#include "FPictureBox.h"

#include "FlatPaint.h"

namespace {
const WORD pictureResourceId = 101;
}

FPictureBox::FPictureBox() {
    StoreStyle(WS_CHILD);
    StoreSize(62, 92);
    controlBitmap.LoadFromResource(pictureResourceId);
}

FPictureBox::~FPictureBox() {}

LRESULT FPictureBox::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT:
        return OnPaint();
    case WM_ERASEBKGND:
        return OnEraseBackground(wParam, lParam);
    default:
        return DefaultProcessing(window, msg, wParam, lParam);
    }
}

LRESULT FPictureBox::OnEraseBackground(WPARAM, LPARAM) {
    return FlatEraseBackground();
}

void FPictureBox::DrawFace(HDC dc) {
    HBITMAP picture = controlBitmap.GetHandle();
    if (picture == nullptr) {
        return;
    }
    // The bitmap fills the fixed size exactly, so no background and no
    // off-screen copy are needed.
    HDC memoryDC = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(memoryDC, picture);
    BITMAP info = {};
    GetObjectW(picture, sizeof(info), &info);
    BitBlt(dc, 0, 0, info.bmWidth, info.bmHeight, memoryDC, 0, 0, SRCCOPY);
    SelectObject(memoryDC, previous);
    DeleteDC(memoryDC);
}

LRESULT FPictureBox::OnPaint() {
    PAINTSTRUCT ps;
    HDC windowDC = BeginPaint(hwnd, &ps);
    DrawFace(windowDC);
    EndPaint(hwnd, &ps);
    return 0;
}
