#pragma once
// KThread: an object whose Run executes on a new system thread. Stopping is
// cooperative: the owner sets the stop flag and Run polls it; Run clears
// isThreadRunning as its very last step.

#include <windows.h>

#include <atomic>

class KThread {
  public:
    KThread();
    virtual void SetHandle(HANDLE h);
    virtual HANDLE GetHandle();
    virtual void Run();
    // False when no thread could be made; isThreadRunning is then false again.
    virtual bool StartThread();
    virtual void ThreadShouldStop();
    virtual bool IsThreadRunning();
    virtual void WaitUntilThreadFinish();
    virtual ~KThread();

    KThread(const KThread&) = delete;
    KThread& operator=(const KThread&) = delete;

  protected:
    HANDLE threadHandle; // the thread's own pseudo handle, set on the thread
    // Written by one thread and polled by the other: atomics.
    std::atomic<bool> isThreadRunning;
    std::atomic<bool> threadShouldStop;
};

// The system thread entry: runs the KThread given as parameter.
DWORD WINAPI ThreadEntryProc(LPVOID param);
