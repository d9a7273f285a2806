// The real program, started as its own process under Wine: where its window and
// controls are, and that it ends with exit code 0.
#include <gtest/gtest.h>

#include "PlayerProcess.h"
#include "Screen.h"

namespace {

TEST(AppTest, CentredBorderlessWindowWithItsControlsInPlace) {
    PlayerProcess player; // ends the program whatever a check did
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    RECT r;
    GetWindowRect(window, &r);
    EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - 409) / 2);
    EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - 170) / 2);
    EXPECT_EQ(r.right - r.left, 409);
    EXPECT_EQ(r.bottom - r.top, 170);
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME | WS_BORDER), 0);

    struct {
        int x, y, w, h; // "x", "_", title, volume, link, AGC, picture
    } controls[] = {{380, 15, 15, 16},   {360, 15, 15, 16},  {125, 50, 200, 20}, {125, 80, 200, 20},
                    {125, 108, 110, 20}, {285, 111, 40, 15}, {30, 40, 62, 92}};
    EXPECT_EQ(ChildWindows(window).size(), 7u);
    for (const auto& c : controls) {
        HWND child = ChildAt(window, c.x, c.y);
        ASSERT_NE(child, nullptr) << c.x << ", " << c.y;
        RECT cr = RectInParent(child, window);
        EXPECT_EQ(cr.right - cr.left, c.w);
        EXPECT_EQ(cr.bottom - cr.top, c.h);
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(player.ExitCode(), 0);
}

} // namespace
