#pragma once
// FWindow: the flat skin's top-level window. No caption or border; black with
// a one-pixel white frame 5 pixels in from every edge, and dragged with the left
// button from anywhere on its own surface. Interface thread only.

#include "KWindow.h"

class FWindow : public KFrame {
  public:
    FWindow();
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;

    // Makes the window translucent; returns SetLayeredWindowAttributes' result.
    virtual BOOL SetAlpha(BYTE alpha);
    virtual LRESULT OnPaint(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnEraseBackground(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseMove(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseDown(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseUp(WPARAM wParam, LPARAM lParam);

    // Draws the whole surface into any DC at (0, 0); WM_PAINT draws through it.
    void DrawFace(HDC dc);

  protected:
    int dragOffsetX; // cursor distance from the outer left edge when the drag began
    int dragOffsetY; // and from the outer top edge
    bool isDragging;
};
