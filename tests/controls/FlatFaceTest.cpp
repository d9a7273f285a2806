// What the flat window and controls look like (read from the real window after
// its WM_PAINT, or drawn into a memory DC), and what their lives leave behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "ApiHook.h"
#include "ControlTestSupport.h"
#include "FlatTheme.h"
#include "ObjectCounter.h"

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

// Each text control at its own size, then 100 wider and 20 taller: the text moves
// down by half the growth, and across only in the button. The box stays on top.
TEST_F(FlatFaceTest, EachTextControlDrawsItsFrameAndItsTextWhereItBelongs) {
    const struct {
        KComponent* (*make)();
        int outline;  // -1: around the control; 13: a box of that size; 0: none
        int textFrom; // first column that is neither frame nor box
        COLORREF color;
        int textLeft; // first text column; -1: centred across
        bool underlined;
    } cases[] = {
        {Make<FButton>, -1, 1, white, -1, false},
        {Make<FCheckBox>, 13, 13, white, 18, false},
        {Make<FStaticTextBox>, -1, 1, silver, 10, false},
        {Make<FLinkLabel>, 0, 0, RGB(0, 255, 0), 0, true},
    };
    const COLORREF orange = RGB(246, 159, 32);
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::unique_ptr<KComponent> control(c.make());
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
            if (c.outline != 0) {
                const int right = c.outline < 0 ? w : c.outline, bottom = c.outline < 0 ? h : 13;
                ExpectOutline(px, 0, 0, right - 1, bottom - 1, white);
            }
            const int m = c.outline != 0 ? 1 : 0; // the frame's or the box's row
            const RECT inside = {c.textFrom, m, w - m, h - m};
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
                longestRow =
                    std::max(longestRow, px.Count(c.color, RECT{t.left, y, t.right, y + 1}));
            }
            EXPECT_EQ(longestRow >= t.right - t.left - 1, c.underlined);
        }
        EXPECT_NEAR(text[1].top - text[0].top, 10, 1) << "centred vertically";
        EXPECT_NEAR(text[1].left - text[0].left, c.textLeft < 0 ? 50 : 0, 1);
        if (c.textLeft < 0) { // the button's text turns light grey while it is held down
            SendMouse(control->GetHWND(), WM_LBUTTONDOWN, 5, 5);
            PixelCanvas held(control->GetWidth(), control->GetHeight());
            Capture(*control, held);
            EXPECT_EQ(held.Count(white, text[1]), 0);
            EXPECT_GT(held.Count(RGB(198, 198, 198), text[1]), 5);
            SendMouse(control->GetHWND(), WM_LBUTTONUP, 5, 5);
        }
        DestroyWindow(control->GetHWND());
    }
}

TEST_F(FlatFaceTest, TitleBoxEndsALongTitleWithDotsShowsItsAmpersandAndTakesItFromAnyThread) {
    FStaticTextBox box;
    auto draw = [&](const wchar_t* title, const PixelCanvas& px) {
        box.SetText(KString(title));
        box.DrawFace(px.dc());
        return px.Bounds(silver, RECT{1, 1, 199, 19});
    };
    const wchar_t* longTitle = L"MMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMM";
    PixelCanvas cut(200, 20), plain(200, 20), withAmpersand(200, 20), empty(200, 20);
    const RECT t = draw(longTitle, cut);
    EXPECT_GT(t.right, 170) << "runs up to the right";
    // The last columns hold the three dots: nothing above the bottom rows.
    EXPECT_GT(cut.Count(silver, RECT{t.right - 9, t.top, t.right, t.bottom}), 2);
    EXPECT_EQ(cut.Count(silver, RECT{t.right - 9, t.top, t.right, t.bottom - 3}), 0);
    EXPECT_STREQ(box.GetText(), longTitle) << "the stored text stays whole";
    const int plainRight = draw(L"CinderellaClown", plain).right;
    EXPECT_GT(draw(L"Cinderella&Clown", withAmpersand).right - plainRight, 4) << "not a mnemonic";
    draw(L"", empty);
    EXPECT_EQ(empty.Count(black), 198 * 18) << "only the box and its frame";

    // Set by the worker: a paint is asked for (what it shows, the looping test below
    // compares), and the window's own text stays.
    box.SetText(KString(L"before the window"));
    ASSERT_TRUE(host.AddComponent(&box));
    PaintNow(host.GetHWND());
    RECT dirty;
    ASSERT_FALSE(GetUpdateRect(box.GetHWND(), &dirty, FALSE));
    std::thread([&] { box.SetText(KString(L"buffering...")); }).join();
    EXPECT_TRUE(GetUpdateRect(box.GetHWND(), &dirty, FALSE));
    wchar_t windowText[64] = {};
    GetWindowTextW(box.GetHWND(), windowText, 64);
    EXPECT_STREQ(windowText, L"before the window");
}

// Text drawing held up for a moment, as on a busy machine; the text it was given
// must stay as it was meanwhile.
decltype(&::DrawTextW) realDrawTextW;
std::atomic<int> changedWhileDrawn{0};
int WINAPI SlowDrawTextW(HDC dc, LPCWSTR text, int length, LPRECT rect, UINT format) {
    const std::wstring before(text);
    Sleep(1);
    changedWhileDrawn += before != text;
    return realDrawTextW(dc, text, length, rect, format);
}

// A worker replaces the title in a loop while this thread paints: each frame shows
// one title whole, never a mix or a block released and reused under the paint.
TEST_F(FlatFaceTest, TitleBoxReplacedInALoopByAWorkerShowsOneWholeTitleInEachFrame) {
    FStaticTextBox box;
    ASSERT_TRUE(host.AddComponent(&box));
    ImportHook slow("user32.dll", "DrawTextW", &SlowDrawTextW);
    ASSERT_NE(realDrawTextW = slow.original, nullptr);
    // Of one length: a block released under a paint is soon taken by another title.
    const wchar_t* titles[] = {L"Cinderella Clown Hall", L"Wimpy Woodpecker Zone",
                               L"Amber Hills at Sunset"};
    PixelCanvas faces[3] = {{200, 20}, {200, 20}, {200, 20}};
    for (int i : {0, 1, 2}) {
        box.SetText(KString(titles[i]));
        box.DrawFace(faces[i].dc());
    }
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        for (int i = 0; !stop; ++i) {
            box.SetText(KString(titles[i % 3])); // a new block each time
        }
    });
    int seen[4] = {}; // frames showing each title, and neither
    for (int frame = 0; frame < 300; ++frame) {
        RedrawWindow(box.GetHWND(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        PixelCanvas shown(200, 20);
        shown.CaptureWindow(box.GetHWND());
        int face = 0;
        while (face < 3 && !shown.SameAs(faces[face])) {
            ++face;
        }
        ++seen[face];
    }
    stop = true;
    worker.join();
    EXPECT_EQ(seen[3], 0) << "torn frames";
    EXPECT_EQ(changedWhileDrawn, 0);
    EXPECT_GT(seen[0] * seen[1] * seen[2], 0) << "every title was painted";
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

TEST_F(FlatFaceTest, WindowIsBlackWithTheInsetWhiteFrame) {
    PixelCanvas px(409, 170);
    px.CaptureWindow(host.GetHWND());
    ExpectOutline(px, 5, 5, 403, 164, white);
    const int frame = 2 * 399 + 2 * 158;
    EXPECT_EQ(px.Count(white), frame);
    EXPECT_EQ(px.Count(black), 409 * 170 - frame) << "black everywhere else";
}

// The window and each control erase nothing; each control shows its pointer.
TEST_F(FlatFaceTest, WindowAndEveryControlPaintWithoutErasing) {
    for (int i = 0; i <= 6; ++i) { // 6: the window
        SCOPED_TRACE(i);
        const bool window = i == 6;
        std::unique_ptr<KComponent> control(window ? nullptr : controlKinds[i].make());
        ASSERT_TRUE(window || host.AddComponent(control.get()));
        HWND h = window ? host.GetHWND() : control->GetHWND();
        EXPECT_TRUE(window || reinterpret_cast<HCURSOR>(GetClassLongPtrW(h, GCLP_HCURSOR)) ==
                                  LoadCursorW(nullptr, controlKinds[i].cursor));
        PixelCanvas px(8, 8);
        EXPECT_EQ(SendMessageW(h, WM_ERASEBKGND, reinterpret_cast<WPARAM>(px.dc()), 0), 1);
        EXPECT_EQ(px.Count(PixelCanvas::untouched), 64);
        EXPECT_EQ(SendMessageW(h, WM_PAINT, 0, 0), 0);
        DestroyWindow(window ? nullptr : h);
    }
}

// Hundreds of lives of every control, and a life of the theme, leave the GDI objects
// and kernel handles where they were, and release no handle twice or one not made here.
TEST_F(FlatFaceTest, HundredsOfLivesOfEveryControlLeaveTheCountsUnchanged) {
    SetCursorPos(1020, 760); // far away: the releases open nothing
    auto lives = [&](int times) {
        for (int i = 0; i < times * 6; ++i) {
            std::unique_ptr<KComponent> control(controlKinds[i % 6].make());
            host.AddComponent(control.get());
            RedrawWindow(control->GetHWND(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
            SendMessageW(control->GetHWND(), WM_LBUTTONDOWN, MK_LBUTTON, 0);
            SendMessageW(control->GetHWND(), WM_LBUTTONUP, 0, 0);
            ReleaseCapture();
            DestroyWindow(control->GetHWND());
        }
        PumpMessages(10);
    };
    lives(1); // first lives may make lasting system objects
    const int objects = ObjectCounter::Live(), foreign = ObjectCounter::ForeignReleases();
    const int handles = CountKernelHandles();
    ASSERT_GT(handles, 0) << "a count that cannot move is no test";
    lives(200);
    for (int i = 0; i < 30; ++i) {
        HostWindow window(200, 200, 120, 80);
    }
    const FlatThemeValues inUse = FlatTheme; // the controls' theme, put back after
    CreateFlatTheme();
    ReleaseFlatTheme();
    FlatTheme = inUse;
    EXPECT_EQ(ObjectCounter::Live(), objects);
    EXPECT_EQ(ObjectCounter::ForeignReleases(), foreign);
    // Wine's own helpers may hold a handle for a moment; a leak stays.
    PumpUntil([&] { return CountKernelHandles() == handles; }, 500);
    EXPECT_EQ(CountKernelHandles(), handles);
}

} // namespace
