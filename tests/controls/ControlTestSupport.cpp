#include "ControlTestSupport.h"

#include "FlatTheme.h"

// What each hands on to the window's previous procedure; the rest it handles.
const ControlKind controlKinds[6] = {
    {"FButton", Make<FButton>, IDC_ARROW, {WM_RBUTTONDOWN, WM_KEYDOWN}},
    {"FCheckBox", Make<FCheckBox>, IDC_ARROW, {WM_RBUTTONDOWN, WM_KEYDOWN, WM_LBUTTONUP}},
    {"FStaticTextBox",
     Make<FStaticTextBox>,
     IDC_IBEAM,
     {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_KEYDOWN, WM_LBUTTONUP}},
    {"FLinkLabel", Make<FLinkLabel>, IDC_HAND, {WM_RBUTTONDOWN, WM_KEYDOWN}},
    {"FTrackBar", Make<FTrackBar>, IDC_ARROW, {WM_RBUTTONDOWN, WM_KEYDOWN}},
    {"FPictureBox",
     Make<FPictureBox>,
     IDC_ARROW,
     {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_KEYDOWN, WM_LBUTTONUP}},
};

HostWindow::HostWindow(int left, int top, int w, int h, DWORD windowStyle) {
    // Once, before any window exists, as the program does.
    static const bool themeMade = (CreateFlatTheme(), true);
    (void)themeMade;
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
    DestroyWindow(hwnd); // fails harmlessly when a test destroyed it already
}

void PaintNow(HWND window) {
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpMessages(20);
}

void SendMouse(HWND window, UINT msg, int x, int y, WPARAM keys) {
    POINT p = {x, y};
    ClientToScreen(window, &p);
    SetCursorPos(p.x, p.y);
    SendMessageW(window, msg, msg == WM_LBUTTONUP ? 0 : keys, MAKELPARAM(x, y));
}
