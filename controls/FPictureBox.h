#pragma once
// FPictureBox: shows the program's picture, bitmap resource 101 (62 x 92),
// unscaled at the top left. No input, no listener. Interface thread only.

#include "KBitmap.h"
#include "KComponent.h"

class FPictureBox : public KComponent {
  public:
    FPictureBox();
    ~FPictureBox() override;
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;

    virtual LRESULT OnEraseBackground(WPARAM wParam, LPARAM lParam);

    // Copies the bitmap into any DC at (0, 0); nothing when it failed to load.
    void DrawFace(HDC dc);
    HBITMAP GetBitmapHandle() const { return controlBitmap.GetHandle(); }

  protected:
    LRESULT OnPaint();

    KBitmap controlBitmap;
};
