#include "KThread.h"
#include "KTimer.h"
#include "KWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ApiHook.h"
#include "KRuntime.h"
#include "ObjectCounter.h"
#include "UiHelpers.h"

namespace {

// A worker that runs a job, or polls the stop flag the way the player's cycle does.
class Worker : public KThread {
  public:
    void Run() override {
        runs++;
        sawStopAtStart = threadShouldStop.load();
        while (!job && !threadShouldStop && !finishOnItsOwn) {
            Sleep(1);
        }
        if (job) {
            job();
        }
        isThreadRunning = false; // the last step, as the player's Run does
    }
    void RunJob(std::function<void()> j) {
        job = std::move(j);
        ASSERT_TRUE(StartThread());
        WaitUntilThreadFinish();
    }
    std::atomic<int> runs{0};
    std::atomic<bool> sawStopAtStart{false}, finishOnItsOwn{false};
    std::function<void()> job;
};

HANDLE WINAPI RefusedThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                            LPDWORD) {
    return nullptr;
}

TEST(KThreadTest, StartsStopsCooperativelyAndRestarts) {
    Worker worker;
    ASSERT_FALSE(worker.IsThreadRunning());
    worker.WaitUntilThreadFinish(); // never started: returns at once
    for (bool askToStop : {true, false}) {
        ASSERT_TRUE(worker.StartThread());
        Sleep(30);
        EXPECT_TRUE(worker.IsThreadRunning()) << "runs until it finishes";
        askToStop ? worker.ThreadShouldStop() : void(worker.finishOnItsOwn = true);
        worker.WaitUntilThreadFinish();
    }
    EXPECT_FALSE(worker.sawStopAtStart) << "the next start clears the last stop request";
    EXPECT_EQ(worker.runs, 2);

    void* real = HookImport("kernel32.dll", "CreateThread", reinterpret_cast<void*>(&RefusedThread));
    bool started = worker.StartThread();
    HookImport("kernel32.dll", "CreateThread", real);
    EXPECT_FALSE(started);
    EXPECT_FALSE(worker.IsThreadRunning()) << "a thread never made is not waited for";
}

decltype(&::KillTimer) realKillTimer = nullptr;
int killTimerCalls = 0;
BOOL WINAPI CountingKillTimer(HWND h, UINT_PTR id) {
    ++killTimerCalls;
    return realKillTimer(h, id);
}

class KTimerTest : public ::testing::Test, public KTimerListener {
  protected:
    void SetUp() override {
        if (realKillTimer == nullptr) {
            realKillTimer = reinterpret_cast<decltype(realKillTimer)>(
                HookImport("user32.dll", "KillTimer", reinterpret_cast<void*>(&CountingKillTimer)));
        }
        ASSERT_TRUE(window.CreateComponent());
        timer.SetTimerWindow(&window);
        timer.SetInterval(20);
        timer.SetListener(this);
    }
    void TearDown() override { DestroyWindow(window.GetHWND()); }
    void OnTimer(KTimer* sender) override {
        ticks += sender == &timer && GetCurrentThreadId() == uiThread ? 1 : 1000;
    }
    bool TicksAgain(DWORD ms) {
        ticks = 0;
        return PumpUntil([&] { return ticks >= 2; }, ms) && ticks < 1000;
    }
    KWindow window;
    KTimer timer;
    int ticks = 0;
    DWORD uiThread = GetCurrentThreadId();
};

TEST_F(KTimerTest, TicksReachTheListenerUntilStopped) {
    timer.StartTimer();
    EXPECT_TRUE(TicksAgain(5000)) << "on the window's thread, from this timer";
    timer.SetInterval(60000);
    timer.StartTimer(); // a running timer is not restarted, so the interval waits
    EXPECT_TRUE(TicksAgain(5000));
    timer.StopTimer();
    PumpMessages(30);
    EXPECT_FALSE(TicksAgain(100));
}

// Starts and stops on the window's thread (S, T) and on a worker (s, t), in the
// order given, before the window's thread handles any message: the last word wins.
TEST_F(KTimerTest, TheLastStartOrStopWinsWhicheverThreadAsked) {
    Worker worker;
    for (std::string steps : {"s", "sT", "St", "StS", "sts"}) {
        for (char step : steps) {
            if (step == 's' || step == 't') {
                worker.RunJob([&] { step == 's' ? timer.StartTimer() : timer.StopTimer(); });
            } else {
                step == 'S' ? timer.StartTimer() : timer.StopTimer();
            }
        }
        const bool running = steps.back() == 's' || steps.back() == 'S';
        EXPECT_EQ(timer.IsTimerRunning(), running) << steps;
        EXPECT_EQ(TicksAgain(running ? 5000 : 200), running) << steps;
        timer.StopTimer();
        PumpMessages(30);
    }
}

TEST_F(KTimerTest, StartAndStopNeedAWindowWithAHandle) {
    KWindow uncreated;
    for (KWindow* w : {static_cast<KWindow*>(nullptr), &uncreated}) {
        timer.SetTimerWindow(w);
        timer.StartTimer();
        EXPECT_FALSE(timer.IsTimerRunning());
    }
    killTimerCalls = 0;
    timer.SetTimerWindow(&window);
    timer.StopTimer();
    EXPECT_EQ(killTimerCalls, 0) << "a timer never started is not killed";
    timer.StartTimer();
    EXPECT_TRUE(TicksAgain(5000)) << "a later start works";
    timer.StopTimer();
    EXPECT_EQ(killTimerCalls, 1);
}

TEST_F(KTimerTest, DestroyedTimerGetsNoTicksAndItsIdIsNotReused) {
    auto doomed = std::make_unique<KTimer>(), renamed = std::make_unique<KTimer>();
    const UINT deadId = doomed->GetTimerID();
    doomed->SetTimerWindow(&window);
    doomed->SetListener(this);
    doomed->StartTimer();
    renamed->SetTimerID(timer.GetTimerID()); // a new id to tick with; its entry stays
    killTimerCalls = 0;
    doomed.reset();
    renamed.reset();
    EXPECT_EQ(killTimerCalls, 1) << "a started timer is killed when destroyed";
    KTimer next;
    EXPECT_GT(next.GetTimerID(), deadId);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(deadId), nullptr);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(timer.GetTimerID()), &timer);
    PostMessageW(window.GetHWND(), WM_TIMER, deadId, 0); // queued before the end: reaches nobody
    PumpMessages(50);
    EXPECT_EQ(ticks, 0);
}

BOOL CALLBACK CountWindow(HWND, LPARAM p) {
    return ++*reinterpret_cast<int*>(p) > 0;
}

// Many components, timers and threads leave the process as it was: windows,
// window classes, GDI objects and kernel handles.
TEST(FrameworkLeakTest, ComponentsTimersAndThreadsReleaseEverything) {
    int windows[2] = {}, objects = 0, handles = 0, stillRegistered = 0;
    std::vector<KString> classNames;
    for (int i = 0; i < 201; ++i) {
        if (i == 1) { // after a warm-up: the first window and thread allocate for good
            Sleep(20);
            PumpMessages(50);
            EnumThreadWindows(GetCurrentThreadId(), CountWindow, LPARAM(&windows[0]));
            objects = ObjectCounter::Live();
            handles = CountKernelHandles();
            ASSERT_GT(handles, 0) << "the kernel handle count does not work here";
        }
        KWindow window;
        KComponent child;
        child.SetStyle(WS_CHILD);
        ASSERT_TRUE(window.CreateComponent() && window.AddComponent(&child));
        KTimer timer;
        timer.SetTimerWindow(&window);
        timer.StartTimer();
        Worker thread;
        thread.finishOnItsOwn = true;
        ASSERT_TRUE(thread.StartThread());
        thread.WaitUntilThreadFinish();
        classNames.push_back(window.GetComponentClassName());
        classNames.push_back(child.GetComponentClassName());
        timer.StopTimer();
        DestroyWindow(window.GetHWND());
    }
    Sleep(100); // the last threads finish exiting
    PumpMessages(50);
    EnumThreadWindows(GetCurrentThreadId(), CountWindow, LPARAM(&windows[1]));
    EXPECT_EQ(windows[1], windows[0]);
    EXPECT_EQ(ObjectCounter::Live(), objects);
    EXPECT_LE(CountKernelHandles(), handles + 2) << "a handle per thread would show 200";
    for (auto& name : classNames) {
        WNDCLASSW info;
        stillRegistered += GetClassInfoW(GetModuleHandleW(nullptr), name, &info) ? 1 : 0;
    }
    EXPECT_EQ(stillRegistered, 0);
}

// Timer ids are counted from the start of the process.
TEST(FreshTimers, IdsStartAt1001AndAreNeverReused) {
    auto first = std::make_unique<KTimer>();
    KTimer second;
    EXPECT_EQ(first->GetTimerID(), 1001u);
    EXPECT_EQ(second.GetTimerID(), 1002u);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(1001), first.get());
    first.reset();
    KTimer third;
    EXPECT_EQ(third.GetTimerID(), 1003u);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(1001), nullptr);
}

} // namespace
