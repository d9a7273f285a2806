#include "FButton.h"

#include "FlatPaint.h"
#include "FlatTheme.h"

namespace {
const COLORREF pressedTextColor = RGB(198, 198, 198);
}

FButton::FButton() : controlFont(nullptr), isPressed(false), listener(nullptr) {
    StoreStyle(WS_CHILD);
    StoreSize(100, 25);
    controlFont = new KFont(KString(L"Arial"), 13, false);
    KComponent::SetText(KString(L"FButton"));
}

FButton::~FButton() {
    delete controlFont;
}

LRESULT FButton::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
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
        Repaint();
        return DefaultProcessing(window, msg, wParam, lParam);
    default:
        return DefaultProcessing(window, msg, wParam, lParam);
    }
}

LRESULT FButton::OnEraseBackground(WPARAM, LPARAM) {
    return FlatEraseBackground();
}

LRESULT FButton::OnMouseDown(WPARAM, LPARAM) {
    SetCapture(hwnd);
    isPressed = true;
    Repaint();
    return 0;
}

LRESULT FButton::OnMouseUp(WPARAM, LPARAM) {
    if (!isPressed) {
        return 0; // the press began on another window
    }
    const POINT p = CursorInClient(hwnd);
    ReleaseCapture();
    isPressed = false;
    Repaint();
    if (WithinInclusive(p, width, height)) {
        // Last: the listener may destroy this button's window.
        NotifyListener();
    }
    return 0;
}

void FButton::SetListener(FButtonListener* l) {
    listener = l;
}

void FButton::NotifyListener() {
    if (listener != nullptr) {
        listener->OnButtonPress(this);
    }
}

void FButton::DrawFace(HDC dc) {
    const RECT client = FlatClientRect(hwnd, width, height);
    FillRect(dc, &client, FlatTheme.backBrush);
    FrameRect(dc, &client, FlatTheme.frameBrush);
    TextStyleScope style(dc, controlFont != nullptr ? controlFont->GetHandle() : nullptr,
                         isPressed ? pressedTextColor : FlatTheme.textColor);
    DrawFlatText(dc, text, client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

LRESULT FButton::OnPaint() {
    return PaintOffscreen(hwnd, width, height, [this](HDC dc) { DrawFace(dc); });
}
