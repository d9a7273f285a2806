// Creating, painting, pressing and destroying every flat control many times
// leaves the GDI objects and kernel handles of the process where they were,
// and never releases a handle twice or one the controls did not make.
#include <gtest/gtest.h>

#include <memory>

#include "ControlTestSupport.h"
#include "ObjectCounter.h"

namespace {

void Lives(HostWindow& host, int times) {
    for (int i = 0; i < times; ++i) {
        for (const ControlKind& kind : controlKinds) {
            std::unique_ptr<KComponent> control(kind.make());
            control->SetText(KString(L"leak check"));
            host.AddComponent(control.get());
            HWND h = control->GetHWND();
            RedrawWindow(h, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
            SendMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, 0);
            SendMessageW(h, WM_LBUTTONUP, 0, 0); // the cursor is far away: opens nothing
            ReleaseCapture();
            DestroyWindow(h);
        }
    }
    PumpMessages(10);
}

TEST(LeakTest, EveryControlCreatedAndDestroyedHundredsOfTimesLeavesTheCountsUnchanged) {
    SetCursorPos(1020, 760);
    HostWindow host;
    Lives(host, 1); // first lives may make lasting system objects
    const int objects = ObjectCounter::Live(), foreign = ObjectCounter::ForeignReleases();
    const int handles = CountKernelHandles();
    ASSERT_GT(handles, 0) << "a count that cannot move is no test";
    HBITMAP picture = nullptr;
    {
        FButton button; // the count moves: a font and a bitmap while they live
        FPictureBox box;
        picture = box.GetBitmapHandle();
        EXPECT_EQ(ObjectCounter::Live(), objects + 2);
    }
    EXPECT_TRUE(ObjectCounter::WasDeleted(picture));
    Lives(host, 200);
    for (int i = 0; i < 30; ++i) {
        HostWindow window(200, 200, 120, 80);
    }
    EXPECT_EQ(ObjectCounter::Live(), objects);
    EXPECT_EQ(ObjectCounter::ForeignReleases(), foreign);
    // Wine's own helpers may hold a handle for a moment; a leak stays.
    PumpUntil([&] { return CountKernelHandles() == handles; }, 500);
    EXPECT_EQ(CountKernelHandles(), handles);
}

} // namespace
