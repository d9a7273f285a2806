// What the flat window and the flat controls look like: read from the real
// window after its WM_PAINT, or drawn into a memory DC through the same routine.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <memory>
#include <thread>

#include "ControlTestSupport.h"

namespace {

const COLORREF black = RGB(0, 0, 0), white = RGB(255, 255, 255), silver = RGB(192, 192, 192);

// Every pixel of a one-pixel outline from (l, t) to (r, b), both inclusive, is `c`.
void ExpectOutline(const PixelCanvas& px, int l, int t, int r, int b, COLORREF c) {
    for (int x = l; x <= r; ++x) {
        ASSERT_TRUE(px.At(x, t) == c && px.At(x, b) == c) << "row at x = " << x;
    }
    for (int y = t; y <= b; ++y) {
        ASSERT_TRUE(px.At(l, y) == c && px.At(r, y) == c) << "column at y = " << y;
    }
}

class FlatFaceTest : public ::testing::Test {
  protected:
    // The face `control` shows in its window once painted.
    void Capture(KComponent& control, PixelCanvas& px) {
        PaintNow(host.GetHWND());
        px.CaptureWindow(control.GetHWND());
    }
    HostWindow host;
};

TEST_F(FlatFaceTest, WindowIsBlackWithTheInsetWhiteFrame) {
    PixelCanvas px(409, 170);
    px.CaptureWindow(host.GetHWND());
    ExpectOutline(px, 5, 5, 403, 164, white);
    const int frame = 2 * 399 + 2 * 158;
    EXPECT_EQ(px.Count(white), frame);
    EXPECT_EQ(px.Count(black), 409 * 170 - frame) << "black everywhere else";
}

// Each text control at its own size, then made 100 wider and 20 taller: the text
// moves down by half the growth, and across only in the centring button. The
// check box's box stays at the top, and shows the mark once checked.
TEST_F(FlatFaceTest, EachTextControlDrawsItsFrameAndItsTextWhereItBelongs) {
    const struct {
        const char* kind;
        int frame; // right column of the white outline at the default size; 0: none
        COLORREF color;
        int textLeft; // first text column; -1: centred across
        bool underlined;
    } cases[] = {
        {"FButton", 99, white, -1, false},
        {"FCheckBox", 12, white, 18, false},
        {"FStaticTextBox", 199, silver, 10, false},
        {"FLinkLabel", 0, RGB(0, 255, 0), 0, true},
    };
    const COLORREF orange = RGB(246, 159, 32);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        std::unique_ptr<KComponent> control(
            std::find_if(std::begin(controlKinds), std::end(controlKinds), [&](auto& k) {
                return !strcmp(k.name, c.kind);
            })->make());
        auto box = dynamic_cast<FCheckBox*>(control.get());
        control->SetText(KString(L"Hi"));
        ASSERT_TRUE(host.AddComponent(control.get()));
        RECT text[2];
        for (int grown = 0; grown < 2; ++grown) {
            const int w = control->GetWidth() + 100 * grown;
            const int h = control->GetHeight() + 20 * grown;
            control->SetSize(w, h);
            if (box != nullptr) {
                box->SetChecked(grown == 1);
            }
            PixelCanvas px(w, h);
            Capture(*control, px);
            if (c.frame != 0) {
                const bool whole = c.frame > 20; // framing the control, not a box
                ExpectOutline(px, 0, 0, whole ? w - 1 : 12, whole ? h - 1 : 12, white);
            }
            const RECT inside = {c.frame == 12 ? 13 : c.frame ? 1 : 0, c.frame ? 1 : 0,
                                 c.frame ? w - 1 : w, c.frame ? h - 1 : h};
            const RECT& t = text[grown] = px.Bounds(c.color, inside);
            ASSERT_GT(px.Count(c.color, t), 5) << "the text is drawn";
            EXPECT_EQ(px.Count(white, inside) == 0, c.color != white) << "nothing else white";
            EXPECT_EQ(px.Count(orange), box && grown ? 49 : 0);
            EXPECT_EQ(px.Count(orange, RECT{3, 3, 10, 10}), box && grown ? 49 : 0) << "7 x 7";
            if (c.textLeft >= 0) {
                EXPECT_GE(t.left, c.textLeft);
                EXPECT_LE(t.left, c.textLeft + 2);
            }
            int longestRow = 0; // an underline runs under the whole text
            for (int y = t.top; y < t.bottom; ++y) {
                longestRow = std::max(longestRow, px.Count(c.color, RECT{t.left, y, t.right, y + 1}));
            }
            EXPECT_EQ(longestRow >= t.right - t.left - 1, c.underlined);
        }
        EXPECT_NEAR(text[1].top - text[0].top, 10, 1) << "centred vertically";
        EXPECT_NEAR(text[1].left - text[0].left, c.textLeft < 0 ? 50 : 0, 1);
        DestroyWindow(control->GetHWND());
    }
}

TEST_F(FlatFaceTest, ButtonTextTurnsLightGreyWhileHeldDown) {
    FButton button;
    ASSERT_TRUE(host.AddComponent(&button));
    for (bool held : {true, false}) {
        (held ? SendPress : SendRelease)(button.GetHWND(), 50, 12);
        PixelCanvas px(100, 25);
        Capture(button, px);
        EXPECT_EQ(px.Count(RGB(198, 198, 198)) > 5, held);
        EXPECT_EQ(px.Count(white, RECT{1, 1, 99, 24}) > 5, !held);
    }
}

TEST_F(FlatFaceTest, TitleBoxEndsATooLongTextWithDotsAndShowsAnAmpersand) {
    FStaticTextBox box;
    const wchar_t* titles[] = {L"MMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMM",
                               L"CinderellaClown", L"Cinderella&Clown", L""};
    RECT text[4];
    for (int i = 0; i < 4; ++i) {
        box.SetText(KString(titles[i]));
        PixelCanvas px(200, 20);
        box.DrawFace(px.dc());
        text[i] = px.Bounds(silver, RECT{1, 1, 199, 19});
        if (i == 0) {
            // The last columns hold the three dots: nothing above the bottom rows.
            const RECT& t = text[0];
            EXPECT_GT(t.right, 170) << "runs up to the right";
            EXPECT_GT(px.Count(silver, RECT{t.right - 9, t.top, t.right, t.bottom}), 2);
            EXPECT_EQ(px.Count(silver, RECT{t.right - 9, t.top, t.right, t.bottom - 3}), 0);
            EXPECT_STREQ(box.GetText(), titles[0]) << "the stored text stays whole";
        }
        if (i == 3) {
            EXPECT_EQ(px.Count(black), 198 * 18) << "only the box and its frame";
        }
    }
    EXPECT_GT(text[2].right - text[1].right, 4) << "a title's & is drawn, not a mnemonic";
}

// The worker thread replaces the title while the interface thread paints: each
// paint shows the old or the new text whole, and a replacement asks for a paint.
TEST_F(FlatFaceTest, TitleBoxShowsTextThatAnotherThreadSetsWhole) {
    FStaticTextBox box;
    const wchar_t* texts[] = {L"Purple Motion - Sundance", L"buffering...", L"Last"};
    box.SetText(KString(L"before the window"));
    ASSERT_TRUE(host.AddComponent(&box));
    PixelCanvas faceA(200, 20), faceB(200, 20), face(200, 20);
    box.SetText(KString(texts[0]));
    box.DrawFace(faceA.dc());
    box.SetText(KString(texts[1]));
    box.DrawFace(faceB.dc());
    // Each replacement builds a fresh block on the worker, so the text a paint
    // holds is released on the worker as soon as it is replaced.
    std::atomic<bool> stop(false);
    std::atomic<int> replaced(0);
    std::thread worker([&] {
        for (int i = 0; !stop; ++i, ++replaced) {
            box.SetText(KString(texts[i % 2]));
        }
    });
    int torn = 0;
    for (int paints = 0; paints < 300 || replaced < 5000; ++paints) {
        RedrawWindow(box.GetHWND(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        box.DrawFace(face.dc());
        const KString now = box.GetText();
        torn += (!face.SameAs(faceA) && !face.SameAs(faceB)) ? 1 : 0;
        torn += (wcscmp(now, texts[0]) != 0 && wcscmp(now, texts[1]) != 0) ? 1 : 0;
    }
    stop = true;
    worker.join();
    EXPECT_EQ(torn, 0);

    PaintNow(host.GetHWND());
    RECT dirty;
    ASSERT_FALSE(GetUpdateRect(box.GetHWND(), &dirty, FALSE));
    std::thread([&] { box.SetText(KString(texts[2])); }).join();
    EXPECT_TRUE(GetUpdateRect(box.GetHWND(), &dirty, FALSE)) << "the worker's SetText repaints";
    PumpMessages(30); // the interface thread paints on its own
    PixelCanvas shown(200, 20), expected(200, 20);
    shown.CaptureWindow(box.GetHWND());
    box.DrawFace(expected.dc());
    EXPECT_TRUE(shown.SameAs(expected));
    wchar_t windowText[64] = {};
    GetWindowTextW(box.GetHWND(), windowText, 64);
    EXPECT_STREQ(windowText, L"before the window") << "created with the stored text, then kept";
}

TEST_F(FlatFaceTest, TrackBarDrawsTheGrooveAndTheThumbWhereTheValuePutsIt) {
    FTrackBar bar;
    ASSERT_TRUE(host.AddComponent(&bar));
    bar.SetValue(50);
    PixelCanvas px(200, 20);
    Capture(bar, px);
    for (int x = 0; x < 200; ++x) {
        const bool thumb = x >= 90 && x < 100;
        ASSERT_TRUE(px.At(x, 8) == white && px.At(x, 11) == white) << x;
        const COLORREF inner = (thumb || x == 0 || x == 199) ? white : black;
        ASSERT_TRUE(px.At(x, 9) == inner && px.At(x, 10) == inner) << x;
        for (int y : {0, 7, 12, 19}) {
            ASSERT_EQ(px.At(x, y), thumb ? white : black) << x << "," << y;
        }
    }
    EXPECT_EQ(px.Count(white), 200 + 2 * 190 + 4);
}

TEST_F(FlatFaceTest, PictureBoxShowsItsBitmapPixelForPixel) {
    FPictureBox picture;
    ASSERT_TRUE(host.AddComponent(&picture));
    ASSERT_NE(picture.GetBitmapHandle(), nullptr);
    PixelCanvas shown(62, 92), expected(62, 92);
    Capture(picture, shown);
    HDC source = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(source, picture.GetBitmapHandle());
    BitBlt(expected.dc(), 0, 0, 62, 92, source, 0, 0, SRCCOPY);
    SelectObject(source, old);
    DeleteDC(source);
    EXPECT_TRUE(shown.SameAs(expected));
    EXPECT_NE(expected.Count(expected.At(0, 0)), 62 * 92) << "a picture, not a plain colour";
}

// Every flat control shows its own pointer, answers the erase with 1 without
// drawing, and returns 0 from its paint. So does the window.
TEST_F(FlatFaceTest, EveryControlShowsItsPointerAndPaintsWithoutErasing) {
    for (const ControlKind& kind : controlKinds) {
        SCOPED_TRACE(kind.name);
        std::unique_ptr<KComponent> control(kind.make());
        ASSERT_TRUE(host.AddComponent(control.get()));
        HWND h = control->GetHWND();
        EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrW(h, GCLP_HCURSOR)),
                  LoadCursorW(nullptr, kind.cursor));
        PixelCanvas px(8, 8);
        EXPECT_EQ(SendMessageW(h, WM_ERASEBKGND, reinterpret_cast<WPARAM>(px.dc()), 0), 1);
        EXPECT_EQ(px.Count(PixelCanvas::untouched), 64);
        InvalidateRect(h, nullptr, FALSE);
        EXPECT_EQ(SendMessageW(h, WM_PAINT, 0, 0), 0);
        DestroyWindow(h);
    }
    PixelCanvas px(8, 8);
    HWND w = host.GetHWND();
    EXPECT_EQ(SendMessageW(w, WM_ERASEBKGND, reinterpret_cast<WPARAM>(px.dc()), 0), 1);
    EXPECT_EQ(px.Count(PixelCanvas::untouched), 64);
    EXPECT_EQ(SendMessageW(w, WM_PAINT, 0, 0), 0);
}

} // namespace
