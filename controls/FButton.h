#pragma once
// FButton: the flat push button. A black face in a one-pixel white frame with
// its text centred in white (light grey while held down). A press on it and a
// release over it is a click, reported to one listener. Interface thread only.

#include "FButtonListener.h"
#include "KComponent.h"
#include "KFont.h"

class FButton : public KComponent {
  public:
    FButton();
    ~FButton() override;
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;

    virtual LRESULT OnEraseBackground(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseDown(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseUp(WPARAM wParam, LPARAM lParam);
    virtual void SetListener(FButtonListener* l);
    virtual void NotifyListener();

    // Draws the whole face into any DC at (0, 0); WM_PAINT draws through it.
    void DrawFace(HDC dc);

  protected:
    LRESULT OnPaint();

    KFont* controlFont; // owned
    bool isPressed;
    FButtonListener* listener; // not owned
};
