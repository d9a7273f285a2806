#include "FLinkLabel.h"

#include <shellapi.h>

#include "FlatPaint.h"
#include "FlatTheme.h"
#include "StationAddress.h"

namespace {
const WORD handCursorId = 32649; // IDC_HAND
}

FLinkLabel::FLinkLabel() : controlFont(nullptr), isPressed(false) {
    StoreStyle(WS_CHILD);
    StoreSize(110, 20);
    controlFont = new KFont(KString(L"Arial"), 14, true);
    KComponent::SetText(KString(L"???"));
    controlCursor.LoadSystemCursor(handCursorId);
    SetMouseCursor(&controlCursor);
}

FLinkLabel::~FLinkLabel() {
    delete controlFont;
}

LRESULT FLinkLabel::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT:
        return OnPaint();
    case WM_ERASEBKGND:
        return OnEraseBackground(wParam, lParam);
    case WM_LBUTTONDOWN:
        return OnMouseDown(wParam, lParam);
    case WM_LBUTTONUP:
        return OnMouseUp(wParam, lParam);
    case WM_CAPTURECHANGED:
        // Once another window has the capture our release may never come: a later
        // release over us without a press of its own must not act.
        isPressed = false;
        return DefaultProcessing(window, msg, wParam, lParam);
    default:
        return DefaultProcessing(window, msg, wParam, lParam);
    }
}

LRESULT FLinkLabel::OnEraseBackground(WPARAM, LPARAM) {
    return FlatEraseBackground();
}

LRESULT FLinkLabel::OnMouseDown(WPARAM, LPARAM) {
    SetCapture(hwnd);
    isPressed = true; // the label looks the same pressed: no repaint
    return 0;
}

LRESULT FLinkLabel::OnMouseUp(WPARAM, LPARAM) {
    if (!isPressed) {
        return 0;
    }
    const POINT p = CursorInClient(hwnd);
    ReleaseCapture();
    isPressed = false;
    if (WithinInclusive(p, width, height)) {
        OpenLink();
    }
    return 0;
}

void FLinkLabel::OpenLink() {
    ShellExecuteW(nullptr, L"open", StationBaseUrl, nullptr, nullptr, SW_SHOW);
}

void FLinkLabel::DrawFace(HDC dc) {
    const RECT r = FlatClientRect(hwnd, width, height);
    FillRect(dc, &r, FlatTheme.backBrush);
    TextStyleScope style(dc, controlFont != nullptr ? controlFont->GetHandle() : nullptr,
                         FlatTheme.linkColor);
    DrawFlatText(dc, text, r, DT_VCENTER | DT_SINGLELINE);
}

LRESULT FLinkLabel::OnPaint() {
    return PaintOffscreen(hwnd, width, height, [this](HDC dc) { DrawFace(dc); });
}
