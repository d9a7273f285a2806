// The real program, started as its own process under Wine: where its window and
// controls are. (Its close with exit code 0 is checked on the shipped exe by every
// end-to-end case.)
#include <gtest/gtest.h>

#include "PlayerProcess.h"
#include "Screen.h"

namespace {

TEST(AppTest, CentredBorderlessWindowWithItsControlsInPlace) {
    PlayerProcess player; // ends the program whatever a check did
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME | WS_BORDER), 0);
    EXPECT_EQ(ChildWindows(window).size(), 7u);
    const int left = (GetSystemMetrics(SM_CXSCREEN) - 409) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - 170) / 2;
    // The window on the screen; in it "x", "_", title, volume, link, AGC, picture.
    const struct {
        int x, y, w, h;
    } rects[] = {{left, top, 409, 170}, {380, 15, 15, 16},   {360, 15, 15, 16},  {125, 50, 200, 20},
                 {125, 80, 200, 20},    {125, 108, 110, 20}, {285, 111, 40, 15}, {30, 40, 62, 92}};
    for (const auto& c : rects) {
        HWND parent = &c == rects ? nullptr : window; // null: screen coordinates
        HWND w = parent != nullptr ? ChildAt(window, c.x, c.y) : window;
        ASSERT_NE(w, nullptr) << c.x << ", " << c.y;
        RECT r = RectInParent(w, parent);
        EXPECT_TRUE(r.left == c.x && r.top == c.y) << c.x << ", " << c.y;
        EXPECT_TRUE(r.right - r.left == c.w && r.bottom - r.top == c.h) << c.x << ", " << c.y;
    }
}

} // namespace
