// The title box's text is replaced from the worker thread while the interface
// thread paints it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "ControlTestSupport.h"
#include "FStaticTextBox.h"
#include "UiHelpers.h"

namespace {

bool SameFace(const PixelCanvas& a, const PixelCanvas& b) {
    for (int y = 0; y < a.Height(); ++y) {
        for (int x = 0; x < a.Width(); ++x) {
            if (a.At(x, y) != b.At(x, y)) {
                return false;
            }
        }
    }
    return true;
}

class FStaticTextBoxTest : public ::testing::Test {
  protected:
    void SetUp() override { EnsureFlatTheme(); }
};

TEST_F(FStaticTextBoxTest, DefaultsAndTheIBeam) {
    FStaticTextBox box;
    EXPECT_STREQ(box.GetText(), L"???");
    EXPECT_EQ(box.GetWidth(), 200);
    EXPECT_EQ(box.GetHeight(), 20);
    box.SetText(KString(L"before the window"));
    HostWindow host;
    ASSERT_TRUE(host.AddComponent(&box));
    wchar_t windowText[64] = {};
    GetWindowTextW(box.GetHWND(), windowText, 64);
    EXPECT_STREQ(windowText, L"before the window") << "created with the stored text";
    box.SetText(KString(L"later"));
    GetWindowTextW(box.GetHWND(), windowText, 64);
    EXPECT_STREQ(windowText, L"before the window") << "SetText leaves the window's own text";
    EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrW(box.GetHWND(), GCLP_HCURSOR)),
              LoadCursorW(nullptr, IDC_IBEAM));
}

TEST_F(FStaticTextBoxTest, SetTextFromAnotherThreadRepaints) {
    HostWindow host;
    FStaticTextBox box;
    box.SetText(KString(L"???"));
    ASSERT_TRUE(host.AddComponent(&box));
    PaintNow(host.GetHWND());
    RECT dirty;
    ASSERT_FALSE(GetUpdateRect(box.GetHWND(), &dirty, FALSE));

    std::thread worker([&] { box.SetText(KString(L"buffering...")); });
    worker.join();
    EXPECT_TRUE(GetUpdateRect(box.GetHWND(), &dirty, FALSE)) << "the worker's SetText repaints";
    PumpMessages(30); // the interface thread paints on its own

    PixelCanvas shown(200, 20), expected(200, 20);
    shown.CaptureWindow(box.GetHWND());
    box.DrawFace(expected.dc());
    EXPECT_TRUE(SameFace(shown, expected));
    EXPECT_STREQ(box.GetText(), L"buffering...");
}

TEST_F(FStaticTextBoxTest, PaintsTheOldOrTheNewTextWholeWhileAThreadReplacesIt) {
    HostWindow host;
    FStaticTextBox box;
    ASSERT_TRUE(host.AddComponent(&box));
    const wchar_t* first = L"Purple Motion - Sundance";
    const wchar_t* second = L"buffering...";
    PixelCanvas faceA(200, 20), faceB(200, 20);
    box.SetText(KString(first));
    box.DrawFace(faceA.dc());
    box.SetText(KString(second));
    box.DrawFace(faceB.dc());
    ASSERT_FALSE(SameFace(faceA, faceB));

    // Each replacement builds a fresh block on the worker, so the text a paint
    // holds is released on the worker as soon as it is replaced. The worker
    // keeps replacing for as long as the window keeps repainting.
    std::atomic<bool> stop(false);
    std::atomic<int> replaced(0);
    std::thread worker([&] {
        for (int i = 0; !stop; ++i) {
            box.SetText(KString(i % 2 == 0 ? first : second));
            replaced++;
        }
    });
    int paints = 0, torn = 0;
    PixelCanvas face(200, 20);
    while (paints < 300 || replaced < 5000) {
        RedrawWindow(box.GetHWND(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        box.DrawFace(face.dc());
        if (!SameFace(face, faceA) && !SameFace(face, faceB)) {
            ++torn;
        }
        const KString now = box.GetText();
        if (wcscmp(now, first) != 0 && wcscmp(now, second) != 0) {
            ++torn;
        }
        ++paints;
    }
    stop = true;
    worker.join();
    EXPECT_EQ(torn, 0);
    PumpMessages(10);
}

} // namespace
