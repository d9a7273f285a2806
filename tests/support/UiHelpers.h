#pragma once
// Small helpers for tests with real windows on the X display.

#include <windows.h>

// Dispatches the calling thread's messages for about `ms` milliseconds.
void PumpMessages(DWORD ms);
// Dispatches messages until `done` returns true or `ms` milliseconds have passed.
template <typename F> bool PumpUntil(F done, DWORD ms) {
    for (DWORD start = GetTickCount(); !done(); PumpMessages(5)) {
        if (GetTickCount() - start > ms) {
            return false;
        }
    }
    return true;
}
