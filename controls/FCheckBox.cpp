#include "FCheckBox.h"

#include "FlatPaint.h"
#include "FlatTheme.h"

FCheckBox::FCheckBox() : controlFont(nullptr), isChecked(false), listener(nullptr) {
    StoreStyle(WS_CHILD);
    StoreSize(40, 15);
    controlFont = new KFont(KString(L"Arial"), 13, false);
    KComponent::SetText(KString(L"FCheckBox"));
}

FCheckBox::~FCheckBox() {
    delete controlFont;
}

LRESULT FCheckBox::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT:
        return OnPaint();
    case WM_ERASEBKGND:
        return OnEraseBackground(wParam, lParam);
    case WM_LBUTTONDOWN:
        return OnMouseDown(wParam, lParam);
    default:
        return KComponent::WindowProc(window, msg, wParam, lParam);
    }
}

bool FCheckBox::IsChecked() {
    return isChecked;
}

void FCheckBox::SetChecked(bool checked) {
    isChecked = checked;
    Repaint();
}

LRESULT FCheckBox::OnEraseBackground(WPARAM, LPARAM) {
    return FlatEraseBackground();
}

LRESULT FCheckBox::OnMouseDown(WPARAM, LPARAM) {
    isChecked = !isChecked;
    Repaint();
    // Last: the listener sees the new state and may do anything with this box.
    NotifyListener();
    return 0;
}

void FCheckBox::SetListener(FCheckBoxListener* l) {
    listener = l;
}

void FCheckBox::NotifyListener() {
    if (listener != nullptr) {
        listener->OnCheckBoxChange(this);
    }
}

void FCheckBox::DrawFace(HDC dc) {
    RECT r = FlatClientRect(hwnd, width, height);
    FillRect(dc, &r, FlatTheme.backBrush);
    // The box sits at the top left, not centred in the control's height.
    RECT box = {r.left, r.top, 13, 13};
    FrameRect(dc, &box, FlatTheme.frameBrush);
    if (isChecked) {
        RECT mark = {box.left + 3, box.top + 3, box.right - 3, box.bottom - 3};
        FillRect(dc, &mark, FlatTheme.checkBrush);
    }
    r = FlatClientRect(hwnd, width, height);
    TextStyleScope style(dc, controlFont != nullptr ? controlFont->GetHandle() : nullptr,
                         FlatTheme.textColor);
    r.left += 18;
    DrawFlatText(dc, text, r, DT_VCENTER | DT_SINGLELINE);
}

LRESULT FCheckBox::OnPaint() {
    return PaintOffscreen(hwnd, width, height, [this](HDC dc) { DrawFace(dc); });
}
