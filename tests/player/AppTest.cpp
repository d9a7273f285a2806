// The real program, started as its own process under Wine: its window, its layout
// on the screen, and the ways it ends.
#include <gtest/gtest.h>

#include <string>

#include "PlayerProcess.h"
#include "Screen.h"
#include "UiHelpers.h"

namespace {

TEST(AppTest, WindowIsCentredBorderlessWithItsControlsInPlace) {
    PlayerProcess player;
    ASSERT_TRUE(player.started);
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);

    RECT r;
    GetWindowRect(window, &r);
    const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(r.right - r.left, 409);
    EXPECT_EQ(r.bottom - r.top, 170);
    EXPECT_EQ(r.left, (screenW - 409) / 2);
    EXPECT_EQ(r.top, (screenH - 170) / 2);
    LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME | WS_BORDER), 0) << "borderless";
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 409) << "the client area is the whole window";

    struct {
        const char* name;
        int x, y, w, h;
    } controls[] = {
        {"close button", 380, 15, 15, 16}, {"minimise button", 360, 15, 15, 16},
        {"title box", 125, 50, 200, 20},   {"volume", 125, 80, 200, 20},
        {"link", 125, 108, 110, 20},       {"AGC box", 285, 111, 40, 15},
        {"picture", 30, 40, 62, 92},
    };
    EXPECT_EQ(ChildWindows(window).size(), 7u);
    for (auto& c : controls) {
        SCOPED_TRACE(c.name);
        HWND child = ChildAt(window, c.x, c.y);
        ASSERT_NE(child, nullptr);
        RECT cr = RectInParent(child, window);
        EXPECT_EQ(cr.right - cr.left, c.w);
        EXPECT_EQ(cr.bottom - cr.top, c.h);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE)) & ~WS_VISIBLE,
                  static_cast<DWORD>(WS_CHILD));
    }

    // What is on the screen: the frame, the controls' faces, the picture.
    PumpMessages(300); // let the program finish painting
    ScreenGrab shot(r.left, r.top, 409, 170);
    const COLORREF white = RGB(255, 255, 255), black = RGB(0, 0, 0);
    for (int x : {5, 200, 403}) {
        EXPECT_EQ(shot.At(x, 5), white) << "top frame line at x=" << x;
        EXPECT_EQ(shot.At(x, 164), white) << "bottom frame line at x=" << x;
    }
    EXPECT_EQ(shot.At(5, 100), white);
    EXPECT_EQ(shot.At(403, 100), white);
    EXPECT_EQ(shot.At(4, 100), black);
    EXPECT_EQ(shot.At(2, 2), black);
    EXPECT_EQ(shot.At(110, 150), black);
    // Title box frame at (125, 50), 200 x 20.
    EXPECT_EQ(shot.At(125, 60), white);
    EXPECT_EQ(shot.At(324, 60), white);
    // Volume 50: the thumb's left edge at 90, so columns 215..224 are solid white
    // from row 80 to 99, and the groove runs along rows 88 and 91.
    for (int y : {81, 90, 98}) {
        EXPECT_EQ(shot.At(125 + 90, y), white);
        EXPECT_EQ(shot.At(125 + 99, y), white);
    }
    EXPECT_EQ(shot.At(125 + 89, 81), black);
    EXPECT_EQ(shot.At(125 + 100, 81), black);
    EXPECT_EQ(shot.At(125 + 30, 88), white);
    EXPECT_EQ(shot.At(125 + 30, 91), white);
    EXPECT_EQ(shot.At(125 + 30, 89), black);
    // AGC checked: the orange square inside the white box.
    EXPECT_EQ(shot.At(285, 111), white);
    EXPECT_EQ(shot.At(285 + 5, 111 + 5), RGB(246, 159, 32));
    EXPECT_EQ(shot.At(285 + 2, 111 + 5), black);
    // The picture, pixel for pixel.
    HBITMAP rose = static_cast<HBITMAP>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), IMAGE_BITMAP, 0, 0, 0));
    ASSERT_NE(rose, nullptr);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, rose);
    int mismatches = 0;
    for (int y = 0; y < 92; ++y) {
        for (int x = 0; x < 62; ++x) {
            mismatches += shot.At(30 + x, 40 + y) != GetPixel(dc, x, y) ? 1 : 0;
        }
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(rose);
    EXPECT_EQ(mismatches, 0);

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(player.ExitCode(), 0);
}

TEST(AppTest, MinimiseKeepsItRunningAndCloseEndsItWithZero) {
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    HWND minimise = ChildAt(window, 360, 15);
    HWND close = ChildAt(window, 380, 15);
    ASSERT_NE(minimise, nullptr);
    ASSERT_NE(close, nullptr);

    Click(minimise);
    EXPECT_TRUE(PumpUntil([&] { return IsIconic(window) != FALSE; }, 5000));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(player.ExitCode(300), -1) << "minimising does not end the program";

    ShowWindow(window, SW_RESTORE);
    PumpUntil([&] { return IsIconic(window) == FALSE; }, 5000);
    Click(close);
    EXPECT_EQ(player.ExitCode(), 0);
}

TEST(AppTest, CloseMessageFromOutsideEndsItWithZero) {
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(player.ExitCode(), 0);
    EXPECT_FALSE(IsWindow(window));
}

} // namespace
