#pragma once
// FStaticTextBox: one line of silver text in a white frame, indented by 10 and
// ended with an ellipsis when too long. No input; the pointer is the I-beam.
//
// Threads: the worker thread replaces the text (SetText, GetText) while the
// interface thread paints. `text` is guarded by `textLock`: SetText swaps it and
// the paint takes its own reference under that lock, so a paint draws the old
// text or the new one, whole, and never a block that was released under it.

#include <mutex>

#include "KComponent.h"
#include "KCursor.h"
#include "KFont.h"

class FStaticTextBox : public KComponent {
  public:
    FStaticTextBox();
    ~FStaticTextBox() override;
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;
    // Stores the text and asks for a repaint; any thread. The window's own text
    // is left as it was created: the control shows only the stored text.
    void SetText(const KString& s) override;
    // Any thread.
    KString GetText() override;

    virtual LRESULT OnEraseBackground(WPARAM wParam, LPARAM lParam);

    // Draws the whole face into any DC at (0, 0); WM_PAINT draws through it.
    void DrawFace(HDC dc);

  protected:
    LRESULT OnPaint();

    KFont* controlFont; // owned
    KCursor controlCursor;
    std::mutex textLock; // guards `text` (inherited) between the worker and the paint
};
