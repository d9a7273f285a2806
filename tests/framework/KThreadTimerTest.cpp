#include "KThread.h"
#include "KTimer.h"
#include "KWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "ApiHook.h"
#include "KRuntime.h"
#include "ObjectCounter.h"
#include "UiHelpers.h"

namespace {

// A worker that polls the stop flag the way the player's cycle does.
class PollingThread : public KThread {
  public:
    void Run() override {
        runs++;
        sawStopAtStart = threadShouldStop.load();
        while (!threadShouldStop && !finishOnItsOwn) {
            Sleep(1);
        }
        ranOnOwnThread = GetCurrentThreadId() != creator;
        isThreadRunning = false; // the last step, as the player's Run does
    }
    std::atomic<int> runs{0};
    std::atomic<bool> sawStopAtStart{false};
    std::atomic<bool> finishOnItsOwn{false};
    std::atomic<bool> ranOnOwnThread{false};
    DWORD creator = GetCurrentThreadId();
};

TEST(KThreadTest, StartsStopsCooperativelyAndRestarts) {
    PollingThread never;
    DWORD start = GetTickCount();
    never.WaitUntilThreadFinish();
    EXPECT_LT(GetTickCount() - start, 100u) << "a thread never started is not waited for";
    EXPECT_FALSE(never.IsThreadRunning());

    PollingThread worker;
    ASSERT_TRUE(worker.StartThread());
    EXPECT_TRUE(worker.IsThreadRunning());
    Sleep(30);
    EXPECT_TRUE(worker.IsThreadRunning()) << "runs until asked to stop";
    worker.ThreadShouldStop();
    worker.WaitUntilThreadFinish();
    EXPECT_FALSE(worker.IsThreadRunning());
    EXPECT_TRUE(worker.ranOnOwnThread);
    EXPECT_EQ(worker.GetHandle(), GetCurrentThread()) << "the thread's own pseudo handle";

    // The stop request of the last run is cleared by the next start.
    ASSERT_TRUE(worker.StartThread());
    Sleep(30);
    EXPECT_TRUE(worker.IsThreadRunning());
    worker.finishOnItsOwn = true;
    worker.WaitUntilThreadFinish();
    EXPECT_FALSE(worker.sawStopAtStart);
    EXPECT_EQ(worker.runs, 2);
}

decltype(&::CreateThread) realCreateThread = nullptr;
bool refuseThreads = false;
HANDLE WINAPI MaybeCreateThread(LPSECURITY_ATTRIBUTES a, SIZE_T s, LPTHREAD_START_ROUTINE f,
                                LPVOID p, DWORD flags, LPDWORD id) {
    if (refuseThreads) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return realCreateThread(a, s, f, p, flags, id);
}

TEST(KThreadTest, FailedStartLeavesNothingToWaitFor) {
    if (realCreateThread == nullptr) {
        realCreateThread = reinterpret_cast<decltype(realCreateThread)>(HookImport(
            "kernel32.dll", "CreateThread", reinterpret_cast<void*>(&MaybeCreateThread)));
    }
    ASSERT_NE(realCreateThread, nullptr);
    PollingThread worker;
    refuseThreads = true;
    bool started = worker.StartThread();
    refuseThreads = false;
    EXPECT_FALSE(started);
    EXPECT_FALSE(worker.IsThreadRunning());
    DWORD start = GetTickCount();
    worker.WaitUntilThreadFinish();
    EXPECT_LT(GetTickCount() - start, 100u);
}

class TickCounter : public KTimerListener {
  public:
    void OnTimer(KTimer* sender) override {
        ++ticks;
        last = sender;
        thread = GetCurrentThreadId();
    }
    int ticks = 0;
    KTimer* last = nullptr;
    DWORD thread = 0;
};

decltype(&::KillTimer) realKillTimer = nullptr;
int killTimerCalls = 0;
BOOL WINAPI CountingKillTimer(HWND h, UINT_PTR id) {
    ++killTimerCalls;
    return realKillTimer(h, id);
}

class KTimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (realKillTimer == nullptr) {
            realKillTimer = reinterpret_cast<decltype(realKillTimer)>(
                HookImport("user32.dll", "KillTimer", reinterpret_cast<void*>(&CountingKillTimer)));
        }
        ASSERT_TRUE(window.CreateComponent());
    }
    void TearDown() override { DestroyWindow(window.GetHWND()); }
    KWindow window;
};

TEST_F(KTimerTest, TicksReachTheListenerThroughTheMessageLoop) {
    KTimer timer;
    TickCounter counter;
    timer.SetTimerWindow(&window);
    timer.SetInterval(20);
    timer.SetListener(&counter);
    timer.StartTimer();
    EXPECT_TRUE(timer.IsTimerRunning());
    EXPECT_TRUE(PumpUntil([&] { return counter.ticks >= 3; }, 5000));
    EXPECT_EQ(counter.last, &timer);
    EXPECT_EQ(counter.thread, GetCurrentThreadId());

    // A running timer is not restarted, so a new interval waits for a restart.
    timer.SetInterval(60000);
    timer.StartTimer();
    int before = counter.ticks;
    EXPECT_TRUE(PumpUntil([&] { return counter.ticks >= before + 2; }, 5000));

    timer.StopTimer();
    EXPECT_FALSE(timer.IsTimerRunning());
    PumpMessages(100);
    int stopped = counter.ticks;
    PumpMessages(100);
    EXPECT_EQ(counter.ticks, stopped);
}

TEST_F(KTimerTest, TimerStartedFromAWorkerTicksOnTheWindowThread) {
    KTimer timer;
    TickCounter counter;
    timer.SetTimerWindow(&window);
    timer.SetInterval(20);
    timer.SetListener(&counter);
    struct Starter : KThread {
        KTimer* timer;
        void Run() override {
            timer->StartTimer();
            isThreadRunning = false;
        }
    } starter;
    starter.timer = &timer;
    ASSERT_TRUE(starter.StartThread());
    starter.WaitUntilThreadFinish();
    EXPECT_TRUE(timer.IsTimerRunning());
    EXPECT_TRUE(PumpUntil([&] { return counter.ticks >= 2; }, 5000));
    EXPECT_EQ(counter.thread, GetCurrentThreadId());

    // A stop that overtakes a worker's start request wins.
    timer.StopTimer();
    ASSERT_TRUE(starter.StartThread());
    starter.WaitUntilThreadFinish();
    timer.StopTimer(); // before the request has been handled
    int before = counter.ticks;
    PumpMessages(150);
    EXPECT_EQ(counter.ticks, before);
}

TEST_F(KTimerTest, StartAndStopNeedAWindowWithAHandle) {
    KTimer timer;
    TickCounter counter;
    timer.SetListener(&counter);
    timer.SetInterval(20);
    timer.StartTimer();
    EXPECT_FALSE(timer.IsTimerRunning()) << "no window set";
    KWindow uncreated;
    timer.SetTimerWindow(&uncreated);
    timer.StartTimer();
    EXPECT_FALSE(timer.IsTimerRunning()) << "the window has no handle yet";

    killTimerCalls = 0;
    timer.SetTimerWindow(&window);
    timer.StopTimer();
    EXPECT_EQ(killTimerCalls, 0) << "a timer never started is not killed";
    EXPECT_FALSE(timer.IsTimerRunning());

    timer.StartTimer();
    EXPECT_TRUE(timer.IsTimerRunning()) << "a later start works";
    EXPECT_TRUE(PumpUntil([&] { return counter.ticks >= 1; }, 5000));
    timer.StopTimer();
    EXPECT_EQ(killTimerCalls, 1);

    // Without a listener (or with the listener's empty default) ticks go nowhere.
    KTimer silent;
    KTimerListener ignoring;
    silent.SetTimerWindow(&window);
    silent.SetInterval(10);
    silent.StartTimer();
    PumpMessages(60);
    silent.SetListener(&ignoring);
    PumpMessages(60);
    silent.StopTimer();
}

TEST_F(KTimerTest, DestroyedTimerGetsNoTicksAndItsIdIsNotReused) {
    TickCounter counter;
    UINT deadId;
    {
        KTimer timer;
        timer.SetTimerWindow(&window);
        timer.SetListener(&counter);
        timer.SetInterval(10);
        timer.StartTimer();
        deadId = timer.GetTimerID();
        killTimerCalls = 0;
    }
    EXPECT_EQ(killTimerCalls, 1) << "a started timer is killed when destroyed";
    KTimer next;
    EXPECT_GT(next.GetTimerID(), deadId);
    // A tick already queued for the destroyed timer reaches nobody.
    PostMessageW(window.GetHWND(), WM_TIMER, deadId, 0);
    PumpMessages(50);
    EXPECT_EQ(counter.ticks, 0);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(deadId), nullptr);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(next.GetTimerID()), &next);
}

BOOL CALLBACK CountWindow(HWND, LPARAM p) {
    ++*reinterpret_cast<int*>(p);
    return TRUE;
}

// Creating and destroying many components, timers and threads leaves the process
// where it was: windows, window classes, GDI objects and kernel handles.
TEST(FrameworkLeakTest, ComponentsTimersAndThreadsReleaseEverything) {
    auto countThreadWindows = [] {
        int n = 0;
        EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&n));
        return n;
    };
    // Warm-up: the first window and thread of a process allocate for good.
    {
        KWindow w;
        w.CreateComponent();
        DestroyWindow(w.GetHWND());
        PollingThread t;
        t.finishOnItsOwn = true;
        t.StartThread();
        t.WaitUntilThreadFinish();
        Sleep(20);
    }
    PumpMessages(50);
    const int windowsBefore = countThreadWindows();
    const int objectsBefore = ObjectCounter::Live();
    const int handlesBefore = CountKernelHandles();
    ASSERT_GT(handlesBefore, 0) << "the kernel handle count does not work here";

    std::vector<KString> classNames;
    for (int i = 0; i < 200; ++i) {
        auto window = std::make_unique<KWindow>();
        ASSERT_TRUE(window->CreateComponent());
        KComponent child;
        child.SetStyle(WS_CHILD);
        ASSERT_TRUE(window->AddComponent(&child));
        KTimer timer;
        timer.SetTimerWindow(window.get());
        timer.StartTimer();
        PollingThread thread;
        thread.finishOnItsOwn = true;
        ASSERT_TRUE(thread.StartThread());
        thread.WaitUntilThreadFinish();
        classNames.push_back(window->GetComponentClassName());
        classNames.push_back(child.GetComponentClassName());
        timer.StopTimer();
        DestroyWindow(window->GetHWND());
    }
    Sleep(100); // the last threads finish exiting
    PumpMessages(50);
    EXPECT_EQ(countThreadWindows(), windowsBefore);
    EXPECT_EQ(ObjectCounter::Live(), objectsBefore);
    EXPECT_LE(CountKernelHandles(), handlesBefore + 2) << "a handle per thread would show 200";
    int stillRegistered = 0;
    for (auto& name : classNames) {
        WNDCLASSEXW info = {};
        info.cbSize = sizeof(info);
        stillRegistered += GetClassInfoExW(GetModuleHandleW(nullptr), name, &info) ? 1 : 0;
    }
    EXPECT_EQ(stillRegistered, 0);
}

// Timer ids are counted from the start of the process.
TEST(FreshTimers, IdsStartAt1001AndAreNeverReused) {
    KTimer* first = new KTimer();
    KTimer second;
    EXPECT_EQ(first->GetTimerID(), 1001u);
    EXPECT_EQ(second.GetTimerID(), 1002u);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(1001), first);
    delete first;
    KTimer third;
    EXPECT_EQ(third.GetTimerID(), 1003u);
    EXPECT_EQ(KRuntime::GetInstance()->GetTimerByID(1001), nullptr);
}

} // namespace
