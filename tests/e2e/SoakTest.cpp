// Many tracks in a row played by the program a user gets, its kernel handles and
// memory counted from outside as it goes. (Under Wine no count of another
// process's GDI objects works: those are counted in process by the window tests.)
#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ObjectCounter.h"
#include "PlayerProcess.h"
#include "UiHelpers.h"

namespace {

struct Usage {
    int handles;
    double commitKb; // memory in use (Wine counts the pages another process has touched)
};

// The usage once `tracks` tracks have started and the last one's refill has been
// served (both buffers first, then a refill a track): a quiet point of every cycle.
bool MeasureAt(const PlayerProcess& player, size_t tracks, Usage& usage) {
    bool reached = PumpUntil([&] { return StationRequests(0, "module").size() > tracks; },
                             static_cast<DWORD>(tracks) * 3000);
    PumpMessages(300);
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(player.info.hProcess, &counters, sizeof(counters));
    usage = {CountKernelHandles(player.info.dwProcessId), counters.PagefileUsage / 1024.0};
    return reached;
}

TEST(SoakTest, TwentyFourTracksInARowLeaveNothingBehindAndFollowWithinAPoll) {
    std::string names = "playlist?names=soak01.mod";
    for (int i = 2; i <= 60; ++i) {
        names += (i < 10 ? ",soak0" : ",soak") + std::to_string(i) + ".mod";
    }
    ASSERT_TRUE(StationControl("reset") && StationControl(names));
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    const size_t first = 8, last = 24;
    Usage atFirst = {}, atLast = {};
    ASSERT_TRUE(MeasureAt(player, first, atFirst));
    EXPECT_TRUE(MeasureAt(player, last, atLast)) << "fewer than " << last << " tracks";
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(player.ExitCode(), 0);
    ASSERT_GT(atFirst.handles, 0);
    ASSERT_GT(atFirst.commitKb, 0);
    EXPECT_LE(atLast.handles, atFirst.handles + 3);
    EXPECT_LT(atLast.commitKb, atFirst.commitKb + 4096) << "memory grows with the tracks";

    // From the sound, heard at real pace: a track of a second's sound has ended
    // before the first poll after its start (the worker starts the timer with the
    // track), so the next one starts at that poll, 2 s on, plus the load. A missed
    // poll would make it 4 s.
    std::vector<std::pair<size_t, size_t>> heard = AudibleStretches();
    EXPECT_GE(heard.size(), last - 1);
    size_t longest = 0;
    for (size_t i = 1; i < heard.size(); ++i) {
        longest = std::max(longest, heard[i].first - heard[i - 1].first);
    }
    EXPECT_LT(longest / 88.2, 3000.0) << "ms from the start of one track to the next";
}

} // namespace
