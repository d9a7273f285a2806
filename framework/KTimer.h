#pragma once
// KTimer: a periodic timer on a KWindow. Ticks arrive as WM_TIMER at the window and
// are routed back through the runtime's registry (id n at position n - 1001) to
// the timer, which tells its one listener.

#include <windows.h>

#include <atomic>

class KTimer;
class KWindow;

class KTimerListener {
  public:
    virtual ~KTimerListener() {}
    virtual void OnTimer(KTimer* sender) { (void)sender; }
};

class KTimer {
  public:
    KTimer();
    virtual void SetInterval(int ms);
    virtual int GetInterval();
    virtual void SetTimerWindow(KWindow* w);
    virtual void SetTimerID(UINT id);
    virtual UINT GetTimerID();
    // May be called from any thread: another thread's request is carried out by
    // the window's own thread, where the system timer has to live.
    virtual void StartTimer();
    virtual void StopTimer();
    virtual void SetListener(KTimerListener* l);
    virtual bool IsTimerRunning();
    virtual void OnTimer();
    virtual ~KTimer();

    KTimer(const KTimer&) = delete;
    KTimer& operator=(const KTimer&) = delete;

    // WM_TIMER at a KWindow: true when a registered timer took the tick.
    static bool Dispatch(WPARAM id);
    // A start or stop request posted by another thread; true when msg was one.
    static bool HandleRequest(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

  private:
    HWND TimerWindowHandle();

    UINT timerID;      // 0 when the registry could not take the timer: it maps to nothing
    UINT registeredID; // the id of its registry entry, whatever SetTimerID sets later
    int interval;
    std::atomic<bool> started; // StartTimer may run on the worker thread
    KWindow* window;           // not owned
    KTimerListener* listener;  // not owned
};
