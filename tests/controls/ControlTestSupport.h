#pragma once
// Shared pieces of the flat-control tests: the theme, a host window on the X
// display, pixel readers for a memory DC or a real window, and real-cursor input.

#include <windows.h>

#include <vector>

#include "FWindow.h"

// Creates the flat theme once for the test process (after the object counter
// is in place), as the program does before any window exists.
void EnsureFlatTheme();

// A 32-bit top-down DIB with a memory DC, for drawing a face and reading it back.
class PixelCanvas {
  public:
    PixelCanvas(int width, int height, COLORREF fill = RGB(12, 34, 56));
    ~PixelCanvas();
    PixelCanvas(const PixelCanvas&) = delete;
    PixelCanvas& operator=(const PixelCanvas&) = delete;

    HDC dc() const { return memoryDC; }
    int Width() const { return width; }
    int Height() const { return height; }
    COLORREF At(int x, int y) const;
    // Copies what the window shows of its client area (after its own WM_PAINT).
    void CaptureWindow(HWND window);
    // How many pixels inside [left, right) x [top, bottom) have `color`.
    int Count(COLORREF color, RECT area) const;
    int Count(COLORREF color) const;

  private:
    int width, height;
    HDC memoryDC;
    HBITMAP bitmap;
    HGDIOBJ previous;
    DWORD* bits;
};

// The flat window hosting the controls under test, shown at a fixed place.
// Destroying it does not post WM_QUIT into the test's queue.
class HostWindow : public FWindow {
  public:
    // A style of 0 keeps the flat window's own (borderless) style.
    HostWindow(int left = 100, int top = 100, int w = 409, int h = 170, DWORD style = 0);
    ~HostWindow() override;
    void OnDestroy() override {}
};

// Paints the window now and lets its children paint too.
void PaintNow(HWND window);

// Real input: the cursor really moves there (the controls read GetCursorPos),
// then the button message is sent to the window as the system would.
void MoveCursorTo(HWND window, int clientX, int clientY);
void SendPress(HWND window, int clientX, int clientY);
void SendRelease(HWND window, int clientX, int clientY);
void SendMove(HWND window, int clientX, int clientY);
