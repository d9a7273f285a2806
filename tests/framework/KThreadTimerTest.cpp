#include "KThread.h"
#include "KTimer.h"
#include "KWindow.h"

#include <gtest/gtest.h>

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

TEST_F(KTimerTest, RunningTimerIsNotRestarted) {
    timer.StopTimer(); // not started: nothing to stop
    timer.StartTimer();
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
    auto doomed = std::make_unique<KTimer>();
    const UINT deadId = doomed->GetTimerID();
    doomed->SetTimerWindow(&window);
    doomed->SetListener(this);
    doomed->StartTimer();
    doomed.reset();
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(deadId), nullptr);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(timer.GetTimerID()), &timer);
    // Queued for the dead one, or ids no timer ever had: nobody gets them.
    for (UINT id : {deadId, KRuntime::firstTimerID - 1, 0xFFFFu}) {
        PostMessageW(window.GetHWND(), WM_TIMER, id, 0);
    }
    PumpMessages(50);
    EXPECT_EQ(ticks, 0);
    EXPECT_GT(KTimer().GetTimerID(), deadId) << "an id given up was handed out again";
}
