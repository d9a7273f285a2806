#pragma once
// Reading what is really on the X display, and finding windows, for tests.

#include <windows.h>

#include <vector>

// A copy of a screen rectangle, read back from the display with BitBlt.
class ScreenGrab {
  public:
    ScreenGrab(int left, int top, int width, int height);
    COLORREF At(int x, int y) const; // coordinates relative to the grab
    int Width() const { return width; }
    int Height() const { return height; }

  private:
    int width, height;
    std::vector<DWORD> pixels; // 0x00RRGGBB, top row first
};

// Top-level windows with this exact caption, of any process.
std::vector<HWND> FindTopLevelWindows(const wchar_t* caption, const wchar_t* className = nullptr);
// The child windows of `parent`, in Z order.
std::vector<HWND> ChildWindows(HWND parent);
// The rectangle of `window` in the client coordinates of `parent`.
RECT RectInParent(HWND window, HWND parent);
