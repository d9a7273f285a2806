// Many tracks in a row, with the main window built in this process so that its GDI
// objects, kernel handles and memory can be counted as it goes.
#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KMessageLoop.h"
#include "MainWindow.h"
#include "ObjectCounter.h"
#include "PlayerProcess.h"
#include "PlayerResources.h"
#include "UiHelpers.h"

namespace {

class SoakWindow : public MainWindow {
  public:
    KString Title() { return titleBox.GetText(); }
};

struct Usage {
    int objects, handles;
    double commitKb; // committed memory
};

Usage Measure() {
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return {ObjectCounter::Live(), CountKernelHandles(), counters.PagefileUsage / 1024.0};
}

TEST(SoakTest, ThirtyTracksInARowLeaveNothingBehindAndFollowWithinAPoll) {
    std::string names = "playlist?names=soak01.mod";
    for (int i = 2; i <= 60; ++i) {
        names += (i < 10 ? ",soak0" : ",soak") + std::to_string(i) + ".mod";
    }
    ASSERT_TRUE(StationControl("reset") && StationControl(names));

    CreatePlayerResources();
    {
        SoakWindow window;
        window.SetVisible(true);
        const int first = 10, last = 30;
        int tracks = 0;
        KString title;
        Usage atFirst = {}, atLast = {};
        CaptureClock clock;
        // A track is counted once its refill is done (its title is back after
        // "buffering..."): the same quiet point of every cycle.
        bool done = PumpUntil(
            [&] {
                clock.Sample();
                KString now = window.Title();
                if (!now.Equals(title) && now.StartsWithChar(L'S') && title.StartsWithChar(L'b') &&
                    ++tracks == first) {
                    atFirst = Measure();
                }
                title = now;
                return tracks >= last;
            },
            last * 3000);
        atLast = Measure();
        PostMessageW(window.GetHWND(), WM_CLOSE, 0, 0);
        RunMessageLoop();
        EXPECT_TRUE(done) << "only " << tracks << " tracks";
        EXPECT_EQ(atLast.objects, atFirst.objects);
        EXPECT_LE(atLast.handles, atFirst.handles + 3);
        EXPECT_LT(atLast.commitKb, atFirst.commitKb + 4096) << "memory grows with the tracks";

        // From the sound: a track of a second's sound has ended before the first poll
        // after its start (the worker starts the timer with the track), so the next
        // one starts at that poll, 2 s on, plus the refill and the load.
        std::vector<std::pair<size_t, size_t>> heard = AudibleStretches();
        EXPECT_GE(heard.size(), static_cast<size_t>(last - 1));
        DWORD longest = 0;
        for (size_t i = 1; i < heard.size() && clock.TickOfSample(heard[i].first) != 0; ++i) {
            longest = std::max(longest, clock.TickOfSample(heard[i].first) -
                                            clock.TickOfSample(heard[i - 1].first));
        }
        EXPECT_LT(longest, 2500u);
    }
    ReleasePlayerResources();
}

} // namespace
