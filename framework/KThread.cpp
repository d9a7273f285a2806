#include "KThread.h"

KThread::KThread() : threadHandle(nullptr), isThreadRunning(false), threadShouldStop(false) {}

KThread::~KThread() {}

void KThread::SetHandle(HANDLE h) {
    threadHandle = h;
}

HANDLE KThread::GetHandle() {
    return threadHandle;
}

void KThread::Run() {}

bool KThread::StartThread() {
    threadShouldStop = false;
    isThreadRunning = true;
    HANDLE handle = CreateThread(nullptr, 0, ThreadEntryProc, this, 0, nullptr);
    if (handle == nullptr) {
        // Nothing will ever clear the flag: clear it here so no wait hangs.
        isThreadRunning = false;
        return false;
    }
    // Never used: keeping it would leak one handle per started thread.
    CloseHandle(handle);
    return true;
}

void KThread::ThreadShouldStop() {
    threadShouldStop = true;
}

bool KThread::IsThreadRunning() {
    return isThreadRunning;
}

void KThread::WaitUntilThreadFinish() {
    while (isThreadRunning) {
        Sleep(10);
    }
}

DWORD WINAPI ThreadEntryProc(LPVOID param) {
    if (param == nullptr) {
        return 0;
    }
    KThread* thread = static_cast<KThread*>(param);
    thread->SetHandle(GetCurrentThread());
    thread->Run();
    return 0;
}
