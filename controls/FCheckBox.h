#pragma once
// FCheckBox: the flat check box. A 13 x 13 white outline at the top left, an
// orange 7 x 7 mark inside it while checked, and white text from x = 18. A
// press toggles at once and tells the listener; SetChecked never tells it.
// Interface thread only.

#include "FCheckBoxListener.h"
#include "KComponent.h"
#include "KFont.h"

class FCheckBox : public KComponent {
  public:
    FCheckBox();
    ~FCheckBox() override;
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;

    virtual bool IsChecked();
    virtual void SetChecked(bool checked);
    virtual LRESULT OnEraseBackground(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseDown(WPARAM wParam, LPARAM lParam);
    virtual void SetListener(FCheckBoxListener* l);
    virtual void NotifyListener();

    // Draws the whole face into any DC at (0, 0); WM_PAINT draws through it.
    void DrawFace(HDC dc);

  protected:
    LRESULT OnPaint();

    KFont* controlFont; // owned
    bool isChecked;
    FCheckBoxListener* listener; // not owned
};
