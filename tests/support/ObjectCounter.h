#pragma once
// GDI and USER objects this executable creates and releases, counted by wrappers in
// its import table (Wine answers 0 to GetGuiResources).
#include <windows.h>

class ObjectCounter {
  public:
    static void Install(); // once; later calls do nothing
    static int Live();     // created through the wrappers and not yet released
    static int ForeignReleases(); // of handles no wrapper made: stock, shared, or twice
    static bool WasDeleted(HGDIOBJ handle);
};

// Kernel handles a process holds, by default this one (never 0 for a live
// process: 0 means no count).
int CountKernelHandles(DWORD pid = GetCurrentProcessId());
