// How the flat controls answer the mouse, driven through the real cursor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ApiHook.h"
#include "ControlTestSupport.h"
#include "StationAddress.h"

namespace {

struct Recorder : FButtonListener, FCheckBoxListener, FTrackBarListener {
    void OnButtonPress(FButton* sender) override { clicks.push_back(sender); }
    void OnCheckBoxChange(FCheckBox* sender) override { states.push_back(sender->IsChecked()); }
    void OnTrackBarChange(FTrackBar* sender) override { values.push_back(sender->GetValue()); }
    std::vector<FButton*> clicks;
    std::vector<bool> states;
    std::vector<int> values;
};

// The shell is not really asked: the label's calls are written down and succeed.
std::vector<std::wstring> shellCalls;
HINSTANCE WINAPI RecordShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                     LPCWSTR directory, INT show) {
    const bool bare = owner == nullptr && parameters == nullptr && directory == nullptr;
    shellCalls.push_back(std::wstring(bare ? L"" : L"not bare: ") + (verb ? verb : L"(null)") +
                         L" " + (file ? file : L"(null)") + L" " + std::to_wstring(show));
    return reinterpret_cast<HINSTANCE>(42);
}

class FlatInputTest : public ::testing::Test {
  protected:
    HostWindow host;
    Recorder heard;
};

// The button and the link label act on the same gesture: a press on them and a
// release over them, both upper bounds inclusive. Both are 100 x 25 here.
TEST_F(FlatInputTest, ButtonAndLinkActOnlyWhenReleasedInsideTheirInclusiveBounds) {
    enum Gesture { none, press, pressThenLost }; // none: the press began on another window
    const struct {
        const char* name;
        Gesture gesture;
        POINT release;
        size_t acts;
    } cases[] = {
        {"inside", press, {60, 10}, 1},
        {"released at x = width", press, {100, 12}, 1},
        {"released at y = height", press, {50, 25}, 1},
        {"released at x = -1", press, {-1, 12}, 0},
        {"released at y = -1", press, {50, -1}, 0},
        {"released at x = width + 1", press, {101, 12}, 0},
        {"released at y = height + 1", press, {50, 26}, 0},
        {"released without a press", none, {30, 10}, 0},
        {"capture lost before the release", pressThenLost, {60, 10}, 0},
    };
    HookImport("shell32.dll", "ShellExecuteW", reinterpret_cast<void*>(RecordShellExecuteW));
    FButton button;
    button.SetListener(&heard);
    FLinkLabel link;
    for (KComponent* control : std::vector<KComponent*>{&button, &link}) {
        auto acts = [&] { return control == &button ? heard.clicks.size() : shellCalls.size(); };
        control->SetSize(100, 25);
        ASSERT_TRUE(host.AddComponent(control));
        HWND h = control->GetHWND();
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const size_t before = acts();
            if (c.gesture != none) {
                SendMouse(h, WM_LBUTTONDOWN, 50, 12);
                EXPECT_EQ(GetCapture(), h) << "a press captures the mouse";
            }
            if (c.gesture != press) {
                SetCapture(host.GetHWND());
            }
            SendMouse(h, WM_LBUTTONUP, c.release.x, c.release.y);
            EXPECT_EQ(GetCapture(), c.gesture == press ? nullptr : host.GetHWND());
            ReleaseCapture();
            EXPECT_EQ(acts() - before, c.acts);
        }
    }
    EXPECT_EQ(heard.clicks, std::vector<FButton*>(3, &button));
    link.SetText(KString(L"something else")); // the address never depends on the text
    SendMouse(link.GetHWND(), WM_LBUTTONDOWN, 5, 5);
    SendMouse(link.GetHWND(), WM_LBUTTONUP, 5, 5);
    EXPECT_EQ(shellCalls, std::vector<std::wstring>(4, L"open " + std::wstring(StationBaseUrl) +
                                                           L" " + std::to_wstring(SW_SHOW)));
}

TEST_F(FlatInputTest, CheckBoxTogglesOnThePressAndSetCheckedNeverNotifies) {
    FCheckBox box;
    box.SetListener(&heard);
    ASSERT_TRUE(host.AddComponent(&box));
    HWND h = box.GetHWND();
    // Anywhere on it, each press toggles at once; the release changes nothing.
    const POINT presses[] = {{5, 5}, {25, 7}, {39, 14}, {5, 5}, {5, 5}};
    bool expected = false;
    for (POINT p : presses) {
        SendMouse(h, WM_LBUTTONDOWN, p.x, p.y);
        expected = !expected;
        EXPECT_EQ(box.IsChecked(), expected);
        EXPECT_EQ(GetCapture(), nullptr) << "no capture";
        SendMouse(h, WM_LBUTTONUP, 300, 300);
        EXPECT_EQ(box.IsChecked(), expected);
    }
    EXPECT_EQ(heard.states, (std::vector<bool>{true, false, true, false, true}));
    PaintNow(h);
    box.SetChecked(false);
    box.SetChecked(true);
    EXPECT_EQ(heard.states.size(), 5u) << "SetChecked does not notify";
    RECT dirty;
    EXPECT_TRUE(GetUpdateRect(h, &dirty, FALSE)) << "SetChecked repaints";
}

// The thumb's place comes from the value in single precision (6 and 29 land a
// pixel right of where extended precision puts them); dragging tells the listener.
TEST_F(FlatInputTest, TrackBarThumbFollowsTheValueAndTheDragClampedToTheBar) {
    FTrackBar bar;
    bar.SetListener(&heard);
    const int places[][2] = {{0, 0},     {1, -8},    {4, -2},    {5, 0},      {6, 2},
                             {10, 10},   {29, 48},   {50, 90},   {75, 140},   {99, 188},
                             {100, 190}, {105, 199}, {-20, -50}, {1000, 1990}}; // value, left
    for (const auto& p : places) {
        bar.SetValue(p[0]);
        EXPECT_EQ(bar.GetThumbRect().left, p[1]) << "value " << p[0];
        EXPECT_EQ(bar.GetThumbRect().right, p[1] + 10);
        EXPECT_EQ(bar.GetValue(), p[0]);
    }
    ASSERT_TRUE(host.AddComponent(&bar));
    HWND h = bar.GetHWND();
    bar.SetValue(50); // thumb 90..100, value 50 (not the 47 its place would give)
    // Only a press on the thumb, edges included, drags; the thumb never jumps.
    const int presses[][3] = {{101, 10, 0}, {89, 10, 0}, {95, 21, 0}, {100, 20, 1}, {90, 0, 1}};
    for (const auto& p : presses) { // x, y, whether it drags
        SendMouse(h, WM_LBUTTONDOWN, p[0], p[1]);
        EXPECT_EQ(GetCapture(), p[2] ? h : nullptr) << p[0] << "," << p[1];
        SendMouse(h, WM_LBUTTONUP, p[0], p[1]);
    }
    SendMouse(h, WM_LBUTTONDOWN, 95, 10);
    // Cursor's client x (y stays 10); then thumb left, value, listener calls so far.
    const int steps[][4] = {
        {95, 90, 50, 0},                      // no movement: nothing
        {100, 95, 50, 1},                     // 95 / 190
        {90, 85, 44, 2},    {-20, 85, 44, 2}, // outside on the left: ignored
        {250, 85, 44, 2},                     // outside on the right: ignored
        {150, 145, 76, 3},                    // back: the whole distance since x = 90 at once
        {200, 190, 100, 4},                   // x = width is inside; clamped at w - 10
        {199, 189, 99, 5},  {0, 0, 0, 6},     // far left: clamped at 0
        {30, 30, 15, 7},
    };
    for (const auto& s : steps) {
        SendMouse(h, WM_MOUSEMOVE, s[0], 10);
        EXPECT_EQ(bar.GetThumbRect().left, s[1]) << "move to " << s[0];
        EXPECT_EQ(bar.GetValue(), s[2]) << "move to " << s[0];
        EXPECT_EQ(static_cast<int>(heard.values.size()), s[3]) << "move to " << s[0];
    }
    SendMouse(h, WM_LBUTTONUP, 30, 10);
    SendMouse(h, WM_MOUSEMOVE, 120, 10);
    EXPECT_EQ(bar.GetThumbRect().left, 30) << "released: moves do nothing";
    EXPECT_EQ(heard.values.size(), 7u) << "no call from presses, the release or idle moves";
    EXPECT_EQ(heard.values.back(), 15);
}

// A drag of the window (bordered here) or the thumb ends with the capture, and a
// move without the left button held moves nothing.
TEST_F(FlatInputTest, DragEndsWhenTheCaptureIsLostOrTheButtonIsUp) {
    const struct {
        const char* name;
        void (*interrupt)(HWND dragged, HWND other);
        WPARAM keys; // of the move that follows
        bool moves;
    } cases[] = {
        {"still held", [](HWND, HWND) {}, MK_LBUTTON, true},
        {"released", [](HWND dragged, HWND) { SendMouse(dragged, WM_LBUTTONUP, 0, 0); }, MK_LBUTTON,
         false},
        {"button up without a release", [](HWND, HWND) {}, 0, false},
        {"another window takes the capture", [](HWND, HWND other) { SetCapture(other); },
         MK_LBUTTON, false},
    };
    HostWindow framed(100, 100, 409, 170, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME);
    FTrackBar bar;
    ASSERT_TRUE(framed.AddComponent(&bar));
    HWND w = framed.GetHWND(), h = bar.GetHWND();
    RECT start;
    GetWindowRect(w, &start);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetWindowPos(w, nullptr, 100, 100, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        SendMouse(w, WM_LBUTTONDOWN, 20, 20);
        EXPECT_EQ(GetCapture(), w);
        c.interrupt(w, h);
        SendMouse(w, WM_MOUSEMOVE, 70, 40, c.keys);
        RECT r;
        GetWindowRect(w, &r);
        EXPECT_EQ(r.left, c.moves ? 150 : 100);
        EXPECT_EQ(r.top, c.moves ? 120 : 100);
        EXPECT_EQ(r.right - r.left, start.right - start.left) << "size unchanged";
        SendMouse(w, WM_LBUTTONUP, 70, 40);
        ReleaseCapture();

        bar.SetValue(50);
        SendMouse(h, WM_LBUTTONDOWN, 95, 10);
        c.interrupt(h, w);
        SendMouse(h, WM_MOUSEMOVE, 125, 10, c.keys);
        EXPECT_EQ(bar.GetValue(), c.moves ? 63 : 50); // 120 / 190
        SendMouse(h, WM_LBUTTONUP, 125, 10);
        ReleaseCapture();
    }
}

} // namespace
