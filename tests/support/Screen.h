#pragma once
// Reading back what a face drew, a window shows or the display holds; windows.

#include <windows.h>

#include <vector>

// A memory DC with a bitmap of its own, filled with an unusual colour.
class PixelCanvas {
  public:
    static const COLORREF untouched = RGB(12, 34, 56);
    PixelCanvas(int width, int height);
    virtual ~PixelCanvas();
    PixelCanvas(const PixelCanvas&) = delete;
    PixelCanvas& operator=(const PixelCanvas&) = delete;

    HDC dc() const { return memoryDC; }
    COLORREF At(int x, int y) const { return GetPixel(memoryDC, x, y); }
    // Copies what the window shows of its client area.
    void CaptureWindow(HWND window);
    // Pixels of `color` in [left, right) x [top, bottom), or in the whole canvas.
    int Count(COLORREF color, RECT area) const;
    int Count(COLORREF color) const { return Count(color, RECT{0, 0, width, height}); }
    // The smallest rectangle holding every pixel of `color` in `area`; left -1: none.
    RECT Bounds(COLORREF color, RECT area) const;
    bool SameAs(const PixelCanvas& other) const;

  private:
    int width, height;
    HDC memoryDC;
    HBITMAP bitmap;
    HGDIOBJ previous;
};

// A copy of a screen rectangle, read back from the display.
class ScreenGrab : public PixelCanvas {
  public:
    ScreenGrab(int left, int top, int width, int height);
};

// Top-level windows with this exact caption, of any process.
std::vector<HWND> FindTopLevelWindows(const wchar_t* caption, const wchar_t* className = nullptr);
// The child windows of `parent`, in Z order.
std::vector<HWND> ChildWindows(HWND parent);
// The rectangle of `window` in the client coordinates of `parent`.
RECT RectInParent(HWND window, HWND parent);
