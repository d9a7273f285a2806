#pragma once
// Shared pieces of the flat-control tests: control kinds, host window, input.

#include <windows.h>

#include "FButton.h"
#include "FCheckBox.h"
#include "FLinkLabel.h"
#include "FPictureBox.h"
#include "FStaticTextBox.h"
#include "FTrackBar.h"
#include "FWindow.h"
#include "Screen.h"
#include "UiHelpers.h"

// Every kind of flat child control, for the checks they all share.
struct ControlKind {
    const char* name;
    KComponent* (*make)();
    LPCWSTR cursor; // the pointer over it
};
extern const ControlKind controlKinds[6];
template <typename C> KComponent* Make() {
    return new C;
}

// The shown flat window hosting the controls; its end posts no WM_QUIT.
class HostWindow : public FWindow {
  public:
    // A style of 0 keeps the flat window's own (borderless) style.
    HostWindow(int left = 100, int top = 100, int w = 409, int h = 170, DWORD style = 0);
    ~HostWindow() override;
    void OnDestroy() override {}
};

// Paints the window now and lets its children paint too.
void PaintNow(HWND window);

// Moves the real cursor there (the controls read it), then sends the message.
void SendMouse(HWND window, UINT msg, int clientX, int clientY, WPARAM keys = MK_LBUTTON);
