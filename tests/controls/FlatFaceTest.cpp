// What the flat window and the flat controls look like: read from the real
// window after its WM_PAINT, or drawn into a memory DC through the same routine.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "ControlTestSupport.h"
#include "FButton.h"
#include "FCheckBox.h"
#include "FLinkLabel.h"
#include "FPictureBox.h"
#include "FStaticTextBox.h"
#include "FTrackBar.h"
#include "FlatTheme.h"
#include "ObjectCounter.h"

namespace {

const COLORREF black = RGB(0, 0, 0);
const COLORREF white = RGB(255, 255, 255);
const COLORREF orange = RGB(246, 159, 32);
const COLORREF silver = RGB(192, 192, 192);
const COLORREF pressedGrey = RGB(198, 198, 198);
const COLORREF green = RGB(0, 255, 0);

RECT Rect(int l, int t, int r, int b) {
    return RECT{l, t, r, b};
}

// Every pixel of a one-pixel outline from (l, t) to (r, b), both inclusive, is `c`.
void ExpectOutline(const PixelCanvas& px, int l, int t, int r, int b, COLORREF c) {
    for (int x = l; x <= r; ++x) {
        ASSERT_EQ(px.At(x, t), c) << "top row at x = " << x;
        ASSERT_EQ(px.At(x, b), c) << "bottom row at x = " << x;
    }
    for (int y = t; y <= b; ++y) {
        ASSERT_EQ(px.At(l, y), c) << "left column at y = " << y;
        ASSERT_EQ(px.At(r, y), c) << "right column at y = " << y;
    }
}

// Columns holding `c` inside the area: the text's horizontal extent.
void Extent(const PixelCanvas& px, COLORREF c, RECT area, int& first, int& last) {
    first = -1;
    last = -1;
    for (int x = area.left; x < area.right; ++x) {
        for (int y = area.top; y < area.bottom; ++y) {
            if (px.At(x, y) == c) {
                if (first < 0) {
                    first = x;
                }
                last = x;
                break;
            }
        }
    }
}

class FlatFaceTest : public ::testing::Test {
  protected:
    void SetUp() override { EnsureFlatTheme(); }
};

TEST_F(FlatFaceTest, WindowIsBlackWithTheInsetWhiteFrame) {
    HostWindow host;
    PixelCanvas px(409, 170);
    px.CaptureWindow(host.GetHWND());
    ExpectOutline(px, 5, 5, 403, 164, white);
    const int frame = 2 * 399 + 2 * 158;
    EXPECT_EQ(px.Count(white), frame);
    EXPECT_EQ(px.Count(black), 409 * 170 - frame) << "black everywhere else";
}

TEST_F(FlatFaceTest, ButtonHasAWhiteFrameABlackFaceAndCentredText) {
    HostWindow host;
    FButton button;
    button.SetText(KString(L"Play"));
    button.SetPosition(20, 20);
    ASSERT_TRUE(host.AddComponent(&button));
    PaintNow(host.GetHWND());
    PixelCanvas px(100, 25);
    px.CaptureWindow(button.GetHWND());
    ExpectOutline(px, 0, 0, 99, 24, white);
    const RECT inside = Rect(1, 1, 99, 24);
    EXPECT_GT(px.Count(white, inside), 5) << "white text";
    int first, last;
    Extent(px, white, inside, first, last);
    EXPECT_NEAR((first + last) / 2.0, 50, 3) << "centred";

    // Held down, the text turns light grey; released, it is white again.
    SendPress(button.GetHWND(), 50, 12);
    PixelCanvas held(100, 25);
    button.DrawFace(held.dc());
    EXPECT_GT(held.Count(pressedGrey, inside), 5);
    EXPECT_EQ(held.Count(white, inside), 0);
    SendRelease(button.GetHWND(), 500, 500);
    PixelCanvas after(100, 25);
    button.DrawFace(after.dc());
    EXPECT_EQ(after.Count(pressedGrey, inside), 0);
    EXPECT_GT(after.Count(white, inside), 5);
}

TEST_F(FlatFaceTest, CheckBoxShowsItsMarkOnlyWhenChecked) {
    HostWindow host;
    FCheckBox box;
    box.SetText(KString(L"AGC"));
    box.SetPosition(20, 60);
    ASSERT_TRUE(host.AddComponent(&box));
    box.SetChecked(true);
    PaintNow(host.GetHWND());

    PixelCanvas px(40, 15);
    px.CaptureWindow(box.GetHWND());
    ExpectOutline(px, 0, 0, 12, 12, white);
    EXPECT_EQ(px.Count(orange, Rect(3, 3, 10, 10)), 49) << "the 7 x 7 mark";
    EXPECT_EQ(px.Count(orange), 49);
    EXPECT_EQ(px.Count(black, Rect(1, 1, 12, 12)), 11 * 11 - 49) << "the two-pixel black gap";
    EXPECT_EQ(px.Count(black, Rect(0, 13, 18, 15)), 2 * 18) << "rows 13 and 14 under the box";
    EXPECT_GT(px.Count(white, Rect(18, 0, 40, 15)), 5) << "white text from x = 18";
    EXPECT_EQ(px.Count(white, Rect(13, 0, 18, 15)), 0);

    box.SetChecked(false);
    PixelCanvas off(40, 15);
    box.DrawFace(off.dc());
    ExpectOutline(off, 0, 0, 12, 12, white);
    EXPECT_EQ(off.Count(black, Rect(1, 1, 12, 12)), 11 * 11);
}

TEST_F(FlatFaceTest, StaticTextBoxShowsSilverTextInAFrame) {
    HostWindow host;
    FStaticTextBox box;
    box.SetText(KString(L"Space Debris"));
    box.SetPosition(125, 40);
    ASSERT_TRUE(host.AddComponent(&box));
    PaintNow(host.GetHWND());

    PixelCanvas px(200, 20);
    px.CaptureWindow(box.GetHWND());
    ExpectOutline(px, 0, 0, 199, 19, white);
    int first, last;
    Extent(px, silver, Rect(1, 1, 199, 19), first, last);
    EXPECT_GE(first, 10) << "indented by 10";
    EXPECT_LT(first, 14);
    EXPECT_LT(last, 120) << "a short text stays short";
    EXPECT_EQ(px.Count(white, Rect(1, 1, 199, 19)), 0);

    // Too long: cut with an ellipsis inside the frame; the stored text is whole.
    const wchar_t* longText = L"A very long module title that cannot possibly fit in the box";
    box.SetText(KString(longText));
    PixelCanvas cut(200, 20);
    box.DrawFace(cut.dc());
    Extent(cut, silver, Rect(1, 1, 199, 19), first, last);
    EXPECT_GT(last, 170) << "runs up to the right";
    EXPECT_LT(last, 199);
    EXPECT_STREQ(box.GetText(), longText);

    box.SetText(KString());
    PixelCanvas empty(200, 20);
    box.DrawFace(empty.dc());
    EXPECT_EQ(empty.Count(black), 198 * 18) << "only the box and its frame";
}

TEST_F(FlatFaceTest, LinkLabelIsGreenTextWithoutAFrame) {
    HostWindow host;
    FLinkLabel link;
    link.SetText(KString(L"Quorvane"));
    link.SetPosition(270, 130);
    ASSERT_TRUE(host.AddComponent(&link));
    PaintNow(host.GetHWND());

    PixelCanvas px(110, 20);
    px.CaptureWindow(link.GetHWND());
    EXPECT_EQ(px.Count(white), 0) << "no frame";
    int first, last;
    Extent(px, green, Rect(0, 0, 110, 20), first, last);
    EXPECT_GE(first, 0);
    EXPECT_LE(first, 2) << "from the left edge";
    // The underline: one row of green running under the whole word.
    int longestRow = 0;
    for (int y = 0; y < 20; ++y) {
        longestRow = std::max(longestRow, px.Count(green, Rect(0, y, 110, y + 1)));
    }
    EXPECT_GE(longestRow, last - first - 2);
}

TEST_F(FlatFaceTest, TrackBarDrawsTheGrooveAndTheThumbWhereTheValuePutsIt) {
    HostWindow host;
    FTrackBar bar;
    bar.SetPosition(125, 80);
    ASSERT_TRUE(host.AddComponent(&bar));
    bar.SetValue(50);
    PaintNow(host.GetHWND());

    PixelCanvas px(200, 20);
    px.CaptureWindow(bar.GetHWND());
    EXPECT_EQ(px.Count(white, Rect(90, 0, 100, 20)), 200) << "the 10 x 20 thumb at left 90";
    for (int x = 0; x < 200; ++x) {
        const bool thumb = x >= 90 && x < 100;
        ASSERT_EQ(px.At(x, 8), white) << x;
        ASSERT_EQ(px.At(x, 11), white) << x;
        const COLORREF inner = (thumb || x == 0 || x == 199) ? white : black;
        ASSERT_EQ(px.At(x, 9), inner) << x;
        ASSERT_EQ(px.At(x, 10), inner) << x;
        for (int y : {0, 7, 12, 19}) {
            ASSERT_EQ(px.At(x, y), thumb ? white : black) << x << "," << y;
        }
    }
    EXPECT_EQ(px.Count(white), 200 + 2 * 190 + 4);
}

TEST_F(FlatFaceTest, PictureBoxShowsBitmap101PixelForPixel) {
    HostWindow host;
    FPictureBox picture;
    picture.SetPosition(30, 40);
    ASSERT_TRUE(host.AddComponent(&picture));
    PaintNow(host.GetHWND());
    ASSERT_NE(picture.GetBitmapHandle(), nullptr);

    PixelCanvas shown(62, 92);
    shown.CaptureWindow(picture.GetHWND());
    PixelCanvas expected(62, 92);
    HDC source = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(source, picture.GetBitmapHandle());
    BitBlt(expected.dc(), 0, 0, 62, 92, source, 0, 0, SRCCOPY);
    SelectObject(source, old);
    DeleteDC(source);

    int differing = 0;
    for (int y = 0; y < 92; ++y) {
        for (int x = 0; x < 62; ++x) {
            differing += shown.At(x, y) != expected.At(x, y) ? 1 : 0;
        }
    }
    EXPECT_EQ(differing, 0);
    EXPECT_EQ(shown.At(0, 0), black) << "a rose on black";
    int red = 0;
    for (int y = 0; y < 92; ++y) {
        for (int x = 0; x < 62; ++x) {
            const COLORREF c = shown.At(x, y);
            red += (GetRValue(c) > 150 && GetGValue(c) < 80) ? 1 : 0;
        }
    }
    EXPECT_GT(red, 300);
}

// Every flat control answers the erase with 1 and draws nothing, and its paint
// returns 0.
struct EraseCase {
    const char* name;
    std::function<KComponent*()> make;
};

TEST_F(FlatFaceTest, EraseDrawsNothingAndPaintReturnsZero) {
    const EraseCase cases[] = {
        {"FButton", [] { return new FButton; }},
        {"FCheckBox", [] { return new FCheckBox; }},
        {"FStaticTextBox", [] { return new FStaticTextBox; }},
        {"FLinkLabel", [] { return new FLinkLabel; }},
        {"FTrackBar", [] { return new FTrackBar; }},
        {"FPictureBox", [] { return new FPictureBox; }},
    };
    HostWindow host;
    for (const EraseCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<KComponent> control(c.make());
        EXPECT_EQ(control->GetStyle(), static_cast<DWORD>(WS_CHILD));
        ASSERT_TRUE(host.AddComponent(control.get()));
        PixelCanvas px(8, 8, RGB(12, 34, 56));
        EXPECT_EQ(
            SendMessageW(control->GetHWND(), WM_ERASEBKGND, reinterpret_cast<WPARAM>(px.dc()), 0),
            1);
        EXPECT_EQ(px.Count(RGB(12, 34, 56)), 64);
        InvalidateRect(control->GetHWND(), nullptr, FALSE);
        EXPECT_EQ(SendMessageW(control->GetHWND(), WM_PAINT, 0, 0), 0);
        DestroyWindow(control->GetHWND());
    }
    HostWindow window(100, 100, 50, 50);
    PixelCanvas px(8, 8, RGB(12, 34, 56));
    EXPECT_EQ(SendMessageW(window.GetHWND(), WM_ERASEBKGND, reinterpret_cast<WPARAM>(px.dc()), 0),
              1);
    EXPECT_EQ(px.Count(RGB(12, 34, 56)), 64);
    EXPECT_EQ(SendMessageW(window.GetHWND(), WM_PAINT, 0, 0), 0);
    DestroyWindow(window.GetHWND());
}

// Each control makes its own "Arial" font and creates a plain WS_CHILD window
// of its own default size, showing its default text.
struct MadeCase {
    const char* name;
    std::function<KComponent*()> make;
    int fontHeight; // 0: no font of its own
    DWORD underline;
    int width, height;
    const wchar_t* text;
};

TEST_F(FlatFaceTest, EachControlMakesItsFontAndAWindowOfItsDefaultSize) {
    const MadeCase cases[] = {
        {"FButton", [] { return new FButton; }, 13, 0, 100, 25, L"FButton"},
        {"FCheckBox", [] { return new FCheckBox; }, 13, 0, 40, 15, L"FCheckBox"},
        {"FStaticTextBox", [] { return new FStaticTextBox; }, 14, 0, 200, 20, L"???"},
        {"FLinkLabel", [] { return new FLinkLabel; }, 14, 1, 110, 20, L"???"},
        {"FTrackBar", [] { return new FTrackBar; }, 0, 0, 200, 20, L""},
        {"FPictureBox", [] { return new FPictureBox; }, 0, 0, 62, 92, L""},
    };
    HostWindow host;
    for (const MadeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int liveBefore = ObjectCounter::Live();
        std::unique_ptr<KComponent> control(c.make());
        if (c.fontHeight != 0) {
            const CreateFontCall font = ObjectCounter::LastFont();
            EXPECT_STREQ(font.face, L"Arial");
            EXPECT_EQ(font.height, c.fontHeight);
            EXPECT_EQ(font.underline, c.underline);
            EXPECT_EQ(ObjectCounter::Live(), liveBefore + 1) << "one font, made at construction";
        }
        ASSERT_TRUE(host.AddComponent(control.get()));
        HWND h = control->GetHWND();
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)) & ~WS_VISIBLE,
                  static_cast<DWORD>(WS_CHILD));
        RECT client;
        GetClientRect(h, &client);
        EXPECT_EQ(client.right, c.width);
        EXPECT_EQ(client.bottom, c.height);
        wchar_t text[32] = {};
        GetWindowTextW(h, text, 32);
        if (c.text[0] != L'\0') {
            EXPECT_STREQ(text, c.text);
        }
        DestroyWindow(h);
    }
}

} // namespace
