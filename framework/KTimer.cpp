#include "KTimer.h"

#include "KRuntime.h"
#include "KWindow.h"

namespace {
UINT RequestMessage() {
    static const UINT message = RegisterWindowMessageW(L"SonvaleTimerRequest");
    return message;
}

bool OwnedByCallingThread(HWND window) {
    return GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

enum : LPARAM { kRequestStop = 0, kRequestStart = 1 };
} // namespace

KTimer::KTimer()
    : timerID(0), registeredID(0), interval(1000), started(false), window(nullptr),
      listener(nullptr) {
    KRuntime* runtime = KRuntime::GetInstance();
    if (runtime == nullptr || runtime->timerRegistry == nullptr) {
        return;
    }
    EnterCriticalSection(&runtime->lock);
    // The counter moves only with the registry, so id - 1001 stays this timer's
    // position; a timer the registry cannot take keeps id 0, which maps to nothing.
    if (runtime->timerRegistry->Add(this)) {
        ++runtime->timerCounter;
        timerID = KRuntime::firstTimerID - 1 + runtime->timerCounter;
        registeredID = timerID;
    }
    LeaveCriticalSection(&runtime->lock);
}

KTimer::~KTimer() {
    HWND h = TimerWindowHandle();
    // Cleared before a stop is posted: the window's thread then tells whether the
    // stop is still wanted or a newer start has overtaken it.
    if (h != nullptr && started.exchange(false)) {
        if (OwnedByCallingThread(h)) {
            KillTimer(h, timerID);
        } else {
            PostMessageW(h, RequestMessage(), timerID, kRequestStop);
        }
    }
    KRuntime* runtime = KRuntime::GetInstance();
    if (runtime != nullptr && runtime->timerRegistry != nullptr && registeredID != 0) {
        // A tick already queued for this timer must find nobody. The entry is the
        // one it was registered at: SetTimerID may have changed the id since.
        EnterCriticalSection(&runtime->lock);
        runtime->timerRegistry->SetAt(static_cast<int>(registeredID - KRuntime::firstTimerID),
                                      nullptr);
        LeaveCriticalSection(&runtime->lock);
    }
}

HWND KTimer::TimerWindowHandle() {
    return window != nullptr ? window->GetHWND() : nullptr;
}

void KTimer::SetInterval(int ms) {
    interval = ms;
}
int KTimer::GetInterval() {
    return interval;
}
void KTimer::SetTimerWindow(KWindow* w) {
    window = w;
}
void KTimer::SetTimerID(UINT id) {
    timerID = id;
}
UINT KTimer::GetTimerID() {
    return timerID;
}
void KTimer::SetListener(KTimerListener* l) {
    listener = l;
}
bool KTimer::IsTimerRunning() {
    return started;
}

void KTimer::StartTimer() {
    if (started) {
        return;
    }
    HWND h = TimerWindowHandle();
    if (h == nullptr) {
        return;
    }
    // started counts as set whatever the system answers, as a SetTimer failure does.
    started = true;
    if (OwnedByCallingThread(h)) {
        SetTimer(h, timerID, interval, nullptr);
    } else {
        // The system refuses timers on another thread's window: the window's
        // thread sets it. Posting (not sending) keeps a worker from waiting on an
        // interface thread that may itself be waiting for the worker.
        PostMessageW(h, RequestMessage(), timerID, kRequestStart);
    }
}

void KTimer::StopTimer() {
    HWND h = TimerWindowHandle();
    if (h == nullptr) {
        return;
    }
    // Cleared before a stop is posted: the window's thread then tells whether the
    // stop is still wanted or a newer start has overtaken it.
    if (started.exchange(false)) {
        if (OwnedByCallingThread(h)) {
            KillTimer(h, timerID);
        } else {
            PostMessageW(h, RequestMessage(), timerID, kRequestStop);
        }
    }
}

void KTimer::OnTimer() {
    if (listener != nullptr) {
        listener->OnTimer(this);
    }
}

bool KTimer::Dispatch(WPARAM id) {
    KRuntime* runtime = KRuntime::GetInstance();
    KTimer* timer = runtime != nullptr ? runtime->GetTimerByID(static_cast<UINT>(id)) : nullptr;
    if (timer == nullptr) {
        return false;
    }
    timer->OnTimer();
    return true;
}

bool KTimer::HandleRequest(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != RequestMessage()) {
        return false;
    }
    UINT id = static_cast<UINT>(wParam);
    KRuntime* runtime = KRuntime::GetInstance();
    KTimer* timer = runtime != nullptr ? runtime->GetTimerByID(id) : nullptr;
    // Only what the timer still wants is carried out: a start since a stop was
    // posted keeps the timer, a stop (or the timer's end) since a start cancels it.
    const bool wanted = timer != nullptr && timer->started;
    if (lParam == kRequestStop && !wanted) {
        KillTimer(window, id);
    } else if (lParam == kRequestStart && wanted) {
        SetTimer(window, id, timer->interval, nullptr);
    }
    return true;
}
