#pragma once
// FTrackBar: the flat horizontal slider. A white groove (rows 8 and 11) and a
// solid white 10 x 20 thumb on black; the thumb is dragged with the left button
// and the value follows it, telling the listener after every applied step.
//
// Threads: everything runs on the interface thread except GetValue, which the
// worker thread also calls when a track starts; `value` is atomic for that.

#include <atomic>

#include "FTrackBarListener.h"
#include "KComponent.h"

class FTrackBar : public KComponent {
  public:
    FTrackBar();
    ~FTrackBar() override;
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;

    virtual void SetListener(FTrackBarListener* l);
    // Any thread.
    virtual int GetValue();
    // Stores v unclamped and places the thumb from it; never tells the listener.
    virtual void SetValue(int v);
    virtual LRESULT OnPaint(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnEraseBackground(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseDown(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseUp(WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnMouseMove(WPARAM wParam, LPARAM lParam);

    // Draws the whole face into any DC at (0, 0); WM_PAINT draws through it.
    void DrawFace(HDC dc);
    RECT GetThumbRect() const { return thumbRect; }

  protected:
    std::atomic<int> value; // written by the interface thread, read by the worker too
    bool isDragging;
    int lastCursorX;             // screen x at the last press or the last applied move
    RECT thumbRect;              // client coordinates; always 10 x 20 from the top
    FTrackBarListener* listener; // not owned
};
