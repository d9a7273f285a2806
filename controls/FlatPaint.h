#pragma once
// What every flat control shares when it draws: an off-screen canvas for the
// double-buffered paint, a guard for the text settings, and the few small rules
// the controls have in common (suppressed erase, inclusive release bounds).

#include <windows.h>

// A memory DC with a bitmap of the control's size selected into it. The whole
// face is composed here and reaches the window with one BitBlt, so nothing
// flickers. The DC state is restored, and both objects are freed, on scope exit.
class OffscreenCanvas {
  public:
    OffscreenCanvas(HDC target, int width, int height);
    ~OffscreenCanvas();
    OffscreenCanvas(const OffscreenCanvas&) = delete;
    OffscreenCanvas& operator=(const OffscreenCanvas&) = delete;

    HDC dc() const { return memoryDC; }
    void CopyTo(HDC target) const;

  private:
    HDC memoryDC;
    HBITMAP bitmap;
    int savedState;
    int width, height;
};

// A flat control's WM_PAINT: the whole face drawn by `drawFace` into an off-screen
// bitmap of the control's size, then copied with one BitBlt.
template <typename DrawFace>
LRESULT PaintOffscreen(HWND window, int width, int height, DrawFace drawFace) {
    PAINTSTRUCT ps;
    HDC windowDC = BeginPaint(window, &ps);
    {
        OffscreenCanvas canvas(windowDC, width, height);
        drawFace(canvas.dc());
        canvas.CopyTo(windowDC);
    }
    EndPaint(window, &ps);
    return 0;
}

// Selects a font, a text colour and the transparent background mode, and puts
// back the mode, the colour and the font, in that order, when it goes. A null
// font (its creation failed) leaves the DC's own font in place.
class TextStyleScope {
  public:
    TextStyleScope(HDC dc, HFONT font, COLORREF color);
    ~TextStyleScope();
    TextStyleScope(const TextStyleScope&) = delete;
    TextStyleScope& operator=(const TextStyleScope&) = delete;

  private:
    HDC dc;
    HGDIOBJ previousFont;
    COLORREF previousColor;
    int previousMode;
};

// The answer of every flat control to WM_ERASEBKGND: the paint covers the whole
// control, so erasing first would only flicker.
inline LRESULT FlatEraseBackground() {
    return 1;
}

// The client rectangle of the window, or the stored size while there is none
// (a face drawn into a test DC before the window exists).
RECT FlatClientRect(HWND window, int width, int height);

// DrawTextW that draws nothing for an empty (null) text.
void DrawFlatText(HDC dc, const wchar_t* text, RECT rect, UINT format);

// Where the cursor is now, in the window's client coordinates. Releases and
// presses are judged from this, not from the message's LPARAM.
POINT CursorInClient(HWND window);

// Both upper bounds count as inside: a release one pixel beyond the right or
// bottom edge still clicks.
inline bool WithinInclusive(POINT p, int width, int height) {
    return p.x >= 0 && p.x <= width && p.y >= 0 && p.y <= height;
}
