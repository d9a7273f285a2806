// How the flat controls answer the mouse, driven through the real cursor: the
// cursor is moved with SetCursorPos and the button messages follow, so the
// controls read the position the way they do for real input.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "ControlTestSupport.h"
#include "FButton.h"
#include "FCheckBox.h"
#include "FPictureBox.h"
#include "FTrackBar.h"
#include "UiHelpers.h"

namespace {

class ClickRecorder : public FButtonListener {
  public:
    void OnButtonPress(FButton* sender) override { senders.push_back(sender); }
    std::vector<FButton*> senders;
};

class ToggleRecorder : public FCheckBoxListener {
  public:
    void OnCheckBoxChange(FCheckBox* sender) override {
        states.push_back(sender->IsChecked());
        last = sender;
    }
    std::vector<bool> states;
    FCheckBox* last = nullptr;
};

class ValueRecorder : public FTrackBarListener {
  public:
    void OnTrackBarChange(FTrackBar* sender) override { values.push_back(sender->GetValue()); }
    std::vector<int> values;
};

class FlatInputTest : public ::testing::Test {
  protected:
    void SetUp() override { EnsureFlatTheme(); }
    HostWindow host;
};

struct ClickCase {
    const char* name;
    POINT press;
    std::vector<POINT> moves; // while held
    POINT release;
    int clicks;
};

TEST_F(FlatInputTest, ButtonClicksOnlyWhenReleasedInsideItsInclusiveBounds) {
    const ClickCase cases[] = {
        {"inside", {50, 12}, {}, {60, 10}, 1},
        {"released outside", {50, 12}, {}, {150, 12}, 0},
        {"released at x = width", {50, 12}, {}, {100, 12}, 1},
        {"released at y = height", {50, 12}, {}, {50, 25}, 1},
        {"released at the far corner", {50, 12}, {}, {100, 25}, 1},
        {"released at x = -1", {50, 12}, {}, {-1, 12}, 0},
        {"released at y = -1", {50, 12}, {}, {50, -1}, 0},
        {"released at x = width + 1", {50, 12}, {}, {101, 12}, 0},
        {"dragged out and back", {50, 12}, {{150, 40}, {-30, 12}, {40, 10}}, {40, 10}, 1},
        {"dragged out", {50, 12}, {{40, 10}, {150, 40}}, {150, 40}, 0},
    };
    FButton button;
    button.SetPosition(20, 20);
    ClickRecorder recorder;
    button.SetListener(&recorder);
    ASSERT_TRUE(host.AddComponent(&button));
    for (const ClickCase& c : cases) {
        SCOPED_TRACE(c.name);
        recorder.senders.clear();
        HWND b = button.GetHWND();
        SendPress(b, c.press.x, c.press.y);
        EXPECT_EQ(GetCapture(), b) << "a press captures the mouse";
        for (POINT m : c.moves) {
            SendMove(b, m.x, m.y);
        }
        SendRelease(b, c.release.x, c.release.y);
        EXPECT_EQ(GetCapture(), nullptr);
        ASSERT_EQ(static_cast<int>(recorder.senders.size()), c.clicks);
        if (c.clicks == 1) {
            EXPECT_EQ(recorder.senders[0], &button);
        }
    }
}

TEST_F(FlatInputTest, ButtonDoubleClickIsTwoClicksAndAStrayReleaseIsNothing) {
    FButton button;
    button.SetPosition(20, 20);
    ClickRecorder recorder;
    button.SetListener(&recorder);
    ASSERT_TRUE(host.AddComponent(&button));
    HWND b = button.GetHWND();

    // No CS_DBLCLKS: the second click of a double click is a second press.
    SendPress(b, 30, 10);
    SendRelease(b, 30, 10);
    SendPress(b, 30, 10);
    SendRelease(b, 30, 10);
    EXPECT_EQ(recorder.senders.size(), 2u);

    // A press that began elsewhere and ends over the button.
    SetCapture(host.GetHWND());
    SendRelease(b, 30, 10);
    EXPECT_EQ(recorder.senders.size(), 2u);
    EXPECT_EQ(GetCapture(), host.GetHWND()) << "a stray release leaves the capture alone";
    ReleaseCapture();

    // The right button does nothing; without a listener a click only repaints.
    SendMessageW(b, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(30, 10));
    SendMessageW(b, WM_RBUTTONUP, 0, MAKELPARAM(30, 10));
    EXPECT_EQ(recorder.senders.size(), 2u);
    button.SetListener(nullptr);
    SendPress(b, 30, 10);
    SendRelease(b, 30, 10);
    EXPECT_EQ(recorder.senders.size(), 2u);
}

TEST_F(FlatInputTest, CheckBoxTogglesOnThePressAndSetCheckedNeverNotifies) {
    FCheckBox box;
    box.SetPosition(20, 60);
    ToggleRecorder recorder;
    box.SetListener(&recorder);
    ASSERT_TRUE(host.AddComponent(&box));
    HWND h = box.GetHWND();

    // On the box, on the text, right of the text: every press toggles once.
    const POINT presses[] = {{5, 5}, {25, 7}, {39, 14}};
    bool expected = false;
    for (POINT p : presses) {
        SendPress(h, p.x, p.y);
        expected = !expected;
        EXPECT_EQ(box.IsChecked(), expected);
        EXPECT_EQ(GetCapture(), nullptr) << "no capture";
        SendRelease(h, 300, 300); // released outside: changes nothing
        EXPECT_EQ(box.IsChecked(), expected);
    }
    EXPECT_EQ(recorder.states, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(recorder.last, &box);

    // A double click toggles twice and tells twice.
    SendPress(h, 5, 5);
    SendRelease(h, 5, 5);
    SendPress(h, 5, 5);
    SendRelease(h, 5, 5);
    EXPECT_TRUE(box.IsChecked());
    EXPECT_EQ(recorder.states.size(), 5u);

    box.SetChecked(false);
    box.SetChecked(true);
    box.SetChecked(true);
    EXPECT_TRUE(box.IsChecked());
    EXPECT_EQ(recorder.states.size(), 5u) << "SetChecked does not notify";
    RECT dirty;
    EXPECT_TRUE(GetUpdateRect(h, &dirty, FALSE)) << "SetChecked repaints";
}

TEST_F(FlatInputTest, TrackBarPlacesTheThumbFromTheValueInSinglePrecision) {
    FTrackBar bar;
    EXPECT_EQ(bar.GetValue(), 0);
    EXPECT_EQ(bar.GetThumbRect().left, 0);
    EXPECT_EQ(bar.GetWidth(), 200);
    EXPECT_EQ(bar.GetHeight(), 20);
    ValueRecorder recorder;
    bar.SetListener(&recorder);
    const struct {
        int value, left;
    } cases[] = {{0, 0},    {1, -8},   {4, -2},    {5, 0},     {10, 10},   {50, 90},
                 {75, 140}, {99, 188}, {100, 190}, {105, 199}, {-20, -50}, {1000, 1990}};
    for (const auto& c : cases) {
        bar.SetValue(c.value);
        EXPECT_EQ(bar.GetThumbRect().left, c.left) << "value " << c.value;
        EXPECT_EQ(bar.GetThumbRect().right, c.left + 10);
        EXPECT_EQ(bar.GetValue(), c.value) << "stored unclamped";
    }
    EXPECT_TRUE(recorder.values.empty()) << "SetValue never tells the listener";
}

struct DragStep {
    int x;        // client x the cursor moves to (y stays 10)
    int left;     // thumb left afterwards
    int value;    // value afterwards
    size_t calls; // listener calls so far
};

TEST_F(FlatInputTest, TrackBarDragStepsClampAndIgnoreMovesOutside) {
    FTrackBar bar;
    bar.SetPosition(125, 80);
    ValueRecorder recorder;
    bar.SetListener(&recorder);
    ASSERT_TRUE(host.AddComponent(&bar));
    HWND h = bar.GetHWND();
    bar.SetValue(50); // thumb 90..100, value 50 (not the 47 its place would give)

    SendPress(h, 95, 10);
    EXPECT_EQ(GetCapture(), h);
    EXPECT_EQ(bar.GetValue(), 50) << "a press does not change the value";
    const DragStep steps[] = {
        {95, 90, 50, 0},                      // no movement: nothing
        {100, 95, 50, 1},                     // 95 / 190
        {90, 85, 44, 2},    {-20, 85, 44, 2}, // outside on the left: ignored
        {250, 85, 44, 2},                     // outside on the right: ignored
        {150, 145, 76, 3},                    // back: the whole distance since x = 90 at once
        {200, 190, 100, 4},                   // x = width is inside; clamped at w - 10
        {199, 189, 99, 5},  {0, 0, 0, 6},     // far left: clamped at 0
        {30, 30, 15, 7},
    };
    for (const DragStep& s : steps) {
        SendMove(h, s.x, 10);
        EXPECT_EQ(bar.GetThumbRect().left, s.left) << "move to " << s.x;
        EXPECT_EQ(bar.GetValue(), s.value) << "move to " << s.x;
        EXPECT_EQ(recorder.values.size(), s.calls) << "move to " << s.x;
    }
    SendRelease(h, 30, 10);
    EXPECT_EQ(GetCapture(), nullptr);
    SendMove(h, 120, 10);
    EXPECT_EQ(bar.GetThumbRect().left, 30) << "released: moves do nothing";
    EXPECT_EQ(recorder.values.size(), 7u) << "no call from press, release or idle moves";
    EXPECT_EQ(recorder.values.back(), 15);
}

TEST_F(FlatInputTest, TrackBarPressBesideTheThumbDoesNothing) {
    FTrackBar bar;
    bar.SetPosition(125, 80);
    ASSERT_TRUE(host.AddComponent(&bar)); // no listener: dragging still works
    HWND h = bar.GetHWND();
    bar.SetValue(50);

    SendPress(h, 101, 10); // right + 1
    EXPECT_EQ(GetCapture(), nullptr);
    SendMove(h, 150, 10);
    EXPECT_EQ(bar.GetThumbRect().left, 90) << "the thumb does not jump";
    SendRelease(h, 150, 10);

    SendRelease(h, 95, 10); // a release without a press
    EXPECT_EQ(bar.GetValue(), 50);

    SendPress(h, 100, 20); // right and bottom edges count as the thumb
    EXPECT_EQ(GetCapture(), h);
    SendMove(h, 110, 20);
    EXPECT_EQ(bar.GetThumbRect().left, 100);
    EXPECT_EQ(bar.GetValue(), 52); // 100 / 190
    SendRelease(h, 110, 20);
}

TEST_F(FlatInputTest, WindowDragKeepsTheGrabbedPointUnderTheCursor) {
    HWND w = host.GetHWND();
    SendPress(w, 100, 20);
    EXPECT_EQ(GetCapture(), w);
    SetCursorPos(600, 300);
    SendMessageW(w, WM_MOUSEMOVE, MK_LBUTTON, 0);
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r.left, 500);
    EXPECT_EQ(r.top, 280);
    EXPECT_EQ(r.right - r.left, 409) << "size unchanged";
    EXPECT_EQ(r.bottom - r.top, 170);
    SendRelease(w, 100, 20);
    EXPECT_EQ(GetCapture(), nullptr);

    // After the release, and without any press, moves do not move the window.
    SetCursorPos(700, 400);
    SendMessageW(w, WM_MOUSEMOVE, 0, 0);
    GetWindowRect(w, &r);
    EXPECT_EQ(r.left, 500);
    EXPECT_EQ(r.top, 280);
}

TEST_F(FlatInputTest, BorderedWindowDragCountsItsBordersAndDoesNotJump) {
    HostWindow window(150, 150, 300, 200, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME);
    HWND w = window.GetHWND();
    RECT before;
    GetWindowRect(w, &before);
    RECT client;
    GetClientRect(w, &client);
    ASSERT_GT(before.right - before.left, client.right) << "the style has borders";
    ASSERT_GT(before.bottom - before.top, client.bottom + 10) << "and a caption";

    SendPress(w, 100, 20);
    SendMessageW(w, WM_MOUSEMOVE, MK_LBUTTON, 0); // the cursor has not moved yet
    RECT same;
    GetWindowRect(w, &same);
    EXPECT_EQ(same.left, before.left) << "no jump when the drag starts";
    EXPECT_EQ(same.top, before.top);

    SetCursorPos(600, 300);
    SendMessageW(w, WM_MOUSEMOVE, MK_LBUTTON, 0);
    POINT grabbed = {100, 20};
    ClientToScreen(w, &grabbed);
    EXPECT_EQ(grabbed.x, 600);
    EXPECT_EQ(grabbed.y, 300);
    SendRelease(w, 100, 20);
}

TEST_F(FlatInputTest, SetAlphaMakesTheWindowLayered) {
    HWND w = host.GetHWND();
    EXPECT_TRUE(host.SetAlpha(200));
    EXPECT_NE(GetWindowLongW(w, GWL_EXSTYLE) & WS_EX_LAYERED, 0);
    BYTE alpha = 0;
    DWORD flags = 0;
    ASSERT_TRUE(GetLayeredWindowAttributes(w, nullptr, &alpha, &flags));
    EXPECT_EQ(alpha, 200);
    EXPECT_EQ(flags, static_cast<DWORD>(LWA_ALPHA));
}

// A window procedure in place before the framework's, seeing what is passed on.
std::vector<UINT> passedOn;
LRESULT CALLBACK PreviousProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_LBUTTONDOWN || msg == WM_LBUTTONUP || msg == WM_MOUSEMOVE ||
        msg == WM_RBUTTONDOWN || msg == WM_KEYDOWN) {
        passedOn.push_back(msg);
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

const wchar_t previousClass[] = L"SonvalePreviousProcClass";

void RegisterPreviousClass() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = PreviousProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = previousClass;
    RegisterClassExW(&wc); // once; later calls fail harmlessly
}

// Windows of a class that already has its own procedure: the framework's
// procedure is put in front of it.
template <typename Base> class OnPreviousClass : public Base {
  public:
    KString GetComponentClassName() override { return KString(previousClass); }
};

TEST_F(FlatInputTest, WindowHandlesItsMouseMessagesAndPassesThemOn) {
    RegisterPreviousClass();
    passedOn.clear();
    class QuietWindow : public FWindow {
      public:
        void OnDestroy() override {} // no WM_QUIT into the test's queue
    };
    OnPreviousClass<QuietWindow> window;
    window.SetSize(200, 100);
    window.SetPosition(300, 300);
    ASSERT_TRUE(window.CreateComponent());
    window.SetVisible(true);
    HWND w = window.GetHWND();
    RECT start;
    GetWindowRect(w, &start);
    SendPress(w, 10, 10);
    SendMove(w, 30, 25); // dragged: 20 right, 15 down
    SendRelease(w, 30, 25);
    RECT moved;
    GetWindowRect(w, &moved);
    EXPECT_EQ(moved.left, start.left + 20);
    EXPECT_EQ(moved.top, start.top + 15);
    // Moves the pointer itself caused may come too: one move or several.
    passedOn.erase(std::unique(passedOn.begin(), passedOn.end()), passedOn.end());
    EXPECT_EQ(passedOn, (std::vector<UINT>{WM_LBUTTONDOWN, WM_MOUSEMOVE, WM_LBUTTONUP}));
    DestroyWindow(w);
}

TEST_F(FlatInputTest, PictureBoxLeavesMouseAndKeysToThePreviousProcedure) {
    RegisterPreviousClass();
    passedOn.clear();
    OnPreviousClass<FPictureBox> picture;
    ASSERT_TRUE(host.AddComponent(&picture));
    HWND h = picture.GetHWND();
    SendMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageW(h, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    SendMessageW(h, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_EQ(passedOn, (std::vector<UINT>{WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_KEYDOWN}));
    EXPECT_EQ(GetCapture(), nullptr);
}

TEST(FTrackBarThreadTest, ValueIsReadWholeFromAnotherThread) {
    FTrackBar bar;
    std::atomic<bool> done(false);
    std::atomic<int> odd(0);
    std::thread reader([&] {
        while (!done) {
            const int v = bar.GetValue();
            if (v != 0 && v != -1 && v != 0x12345678) {
                odd++;
            }
        }
    });
    for (int i = 0; i < 20000; ++i) {
        bar.SetValue(i % 2 == 0 ? -1 : 0x12345678);
    }
    done = true;
    reader.join();
    EXPECT_EQ(odd.load(), 0);
}

} // namespace
