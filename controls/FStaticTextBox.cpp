#include "FStaticTextBox.h"

#include "FlatPaint.h"
#include "FlatTheme.h"

namespace {
const COLORREF silverText = RGB(192, 192, 192);
const WORD ibeamCursorId = 32513; // IDC_IBEAM
} // namespace

FStaticTextBox::FStaticTextBox() : controlFont(nullptr) {
    StoreStyle(WS_CHILD);
    StoreSize(200, 20);
    controlFont = new KFont(KString(L"Arial"), 14, false);
    SetText(KString(L"???"));
    controlCursor.LoadSystemCursor(ibeamCursorId);
    SetMouseCursor(&controlCursor);
}

FStaticTextBox::~FStaticTextBox() {
    delete controlFont;
}

LRESULT FStaticTextBox::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT:
        return OnPaint();
    case WM_ERASEBKGND:
        return OnEraseBackground(wParam, lParam);
    default:
        return DefaultProcessing(window, msg, wParam, lParam);
    }
}

void FStaticTextBox::SetText(const KString& s) {
    KString previous;
    {
        std::lock_guard<std::mutex> guard(textLock);
        previous = text;
        text = s;
    }
    // `previous` lets go of the old block outside the lock; a paint that holds
    // its own reference keeps drawing it until it is done.
    Repaint();
}

KString FStaticTextBox::GetText() {
    std::lock_guard<std::mutex> guard(textLock);
    return text;
}

LRESULT FStaticTextBox::OnEraseBackground(WPARAM, LPARAM) {
    return FlatEraseBackground();
}

void FStaticTextBox::DrawFace(HDC dc) {
    const KString shown = GetText(); // our own reference for the whole drawing
    RECT r = FlatClientRect(hwnd, width, height);
    FillRect(dc, &r, FlatTheme.backBrush);
    FrameRect(dc, &r, FlatTheme.frameBrush);
    TextStyleScope style(dc, controlFont != nullptr ? controlFont->GetHandle() : nullptr,
                         silverText);
    r.left += 10;
    // A title is data, not a label: an "&" in it is drawn, not made a mnemonic.
    DrawFlatText(dc, shown, r, DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
}

LRESULT FStaticTextBox::OnPaint() {
    return PaintOffscreen(hwnd, width, height, [this](HDC dc) { DrawFace(dc); });
}
