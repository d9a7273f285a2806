#pragma once
// FLinkLabel: underlined green text without a frame, with the hand pointer. A
// press on it and a release over it opens the station's web page in the default
// browser; the address never depends on the text. Interface thread only.

#include "KComponent.h"
#include "KCursor.h"
#include "KFont.h"

class FLinkLabel : public KComponent {
  public:
    FLinkLabel();
    ~FLinkLabel() override;
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;

    virtual LRESULT OnEraseBackground(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseDown(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseUp(WPARAM wParam, LPARAM lParam);
    // Asks the shell to open StationBaseUrl; a failure is not reported.
    virtual void OpenLink();

    // Draws the whole face into any DC at (0, 0); WM_PAINT draws through it.
    void DrawFace(HDC dc);

  protected:
    LRESULT OnPaint();

    KFont* controlFont; // owned
    KCursor controlCursor;
    bool isPressed;
};
