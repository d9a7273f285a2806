#include "ControlTestSupport.h"

#include "FlatTheme.h"

const ControlKind controlKinds[6] = {
    {"FButton", Make<FButton>, IDC_ARROW},
    {"FCheckBox", Make<FCheckBox>, IDC_ARROW},
    {"FStaticTextBox", Make<FStaticTextBox>, IDC_IBEAM},
    {"FLinkLabel", Make<FLinkLabel>, IDC_HAND},
    {"FTrackBar", Make<FTrackBar>, IDC_ARROW},
    {"FPictureBox", Make<FPictureBox>, IDC_ARROW},
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
