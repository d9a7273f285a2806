#include "KThread.h"
#include "KTimer.h"
#include "KWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>

#include "KRuntime.h"
#include "UiHelpers.h"

// Runs its job on a thread of its own.
struct Worker : KThread {
    void Run() override {
        job();
        isThreadRunning = false; // the last step, as the player's Run does
    }
    std::function<void()> job;
};

// Counts the ticks of `timer` on the window's thread; any other tick spoils the count.
class KTimerTest : public ::testing::Test, public KTimerListener {
  protected:
    void SetUp() override {
        ASSERT_TRUE(window.CreateComponent());
        timer.SetTimerWindow(&window);
        timer.SetInterval(20);
        timer.SetListener(this);
    }
    void TearDown() override { DestroyWindow(window.GetHWND()); }
    void OnTimer(KTimer* sender) override {
        ticks += sender == &timer && GetCurrentThreadId() == ui ? 1 : 99;
    }
    bool TicksAgain(DWORD ms) {
        ticks = 0;
        return PumpUntil([&] { return ticks >= 2; }, ms) && ticks < 99;
    }
    KWindow window;
    KTimer timer;
    int ticks = 0;
    DWORD ui = GetCurrentThreadId();
};

TEST_F(KTimerTest, StartsOnlyOnAWindowWithAHandleAndIsNotRestarted) {
    KWindow uncreated; // and a window without a handle
    for (KWindow* w : {static_cast<KWindow*>(nullptr), &uncreated, &window}) {
        timer.SetTimerWindow(w);
        timer.StopTimer(); // not started: nothing to stop
        timer.StartTimer();
        EXPECT_EQ(timer.IsTimerRunning(), w == &window);
    }
    timer.SetInterval(60000);
    timer.StartTimer(); // a running timer is not restarted, so the interval waits
    EXPECT_TRUE(TicksAgain(5000));
}

// Starts and stops on the window's thread (S, T) and on a worker (s, t), in the
// order given, before the window's thread handles any message: the last word wins.
TEST_F(KTimerTest, TheLastStartOrStopWinsWhicheverThreadAsked) {
    Worker worker;
    for (std::string steps : {"s", "sT", "St", "StS", "sts"}) {
        for (char step : steps) {
            const bool start = toupper(step) == 'S';
            worker.job = [&, start] { start ? timer.StartTimer() : timer.StopTimer(); };
            islower(step) ? void(worker.StartThread()) : worker.job();
            worker.WaitUntilThreadFinish();
        }
        const bool running = toupper(steps.back()) == 'S';
        EXPECT_EQ(timer.IsTimerRunning(), running) << steps;
        EXPECT_EQ(TicksAgain(running ? 5000 : 200), running) << steps;
        timer.StopTimer();
        PumpMessages(30);
    }
}

TEST_F(KTimerTest, DestroyedTimerGetsNoTicksAndItsIdIsNotReused) {
    auto doomed = std::make_unique<KTimer>(), renamed = std::make_unique<KTimer>();
    const UINT deadId = doomed->GetTimerID(), latestId = renamed->GetTimerID();
    doomed->SetTimerWindow(&window);
    doomed->SetListener(this);
    doomed->StartTimer();
    renamed->SetTimerID(timer.GetTimerID()); // a new id to tick with; its entry stays
    doomed.reset();
    renamed.reset();
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(deadId), nullptr);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(timer.GetTimerID()), &timer);
    // Queued for the dead one, or ids no timer ever had: nobody gets them.
    for (UINT id : {deadId, KRuntime::firstTimerID - 1, 0xFFFFu}) {
        PostMessageW(window.GetHWND(), WM_TIMER, id, 0);
    }
    PumpMessages(50);
    EXPECT_EQ(ticks, 0);
    EXPECT_GT(KTimer().GetTimerID(), latestId) << "an id given up was handed out again";
}

// The registries' list: a full one grows by its step; one that cannot (no memory, no
// step) refuses the entry, unchanged.
TEST(KPointerListTest, GrowsByItsStepOrRefusesTheEntry) {
    // The largest step wraps the byte count of a 32-bit size, on 64 bits the int capacity.
    const int largest = static_cast<int>(std::min<uint64_t>(SIZE_MAX / sizeof(void*), INT32_MAX));
    struct {
        int capacity, growBy, count, finalCapacity;
    } cases[] = {{1024, 1024, 1025, 2048}, {1, largest, 1, 1}, {1, 0, 1, 1}, {1, -4, 1, 1}};
    for (auto& c : cases) {
        KPointerList list(c.capacity, c.growBy, &c == cases);
        for (int i = 0; i <= c.capacity; ++i) {
            EXPECT_EQ(list.Add(&cases[i % 4]), i < c.count) << c.growBy << " " << i;
        }
        EXPECT_TRUE(list.GetCount() == c.count && list.GetCapacity() == c.finalCapacity);
        EXPECT_TRUE(list.GetByID(7, 7) == &cases[0] && list.GetByID(6, 7) == nullptr);
        EXPECT_TRUE(list.GetByID(7 + c.count - 1, 7) == &cases[(c.count - 1) % 4] &&
                    list.GetByID(7 + c.count, 7) == nullptr);
        EXPECT_TRUE(list.SetAt(0, nullptr) && !list.GetByID(7, 7) && !list.SetAt(c.count, &c));
    }
}
