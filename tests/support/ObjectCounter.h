#pragma once
// Counts the GDI and USER objects this executable creates and releases, through
// wrappers in its import table (Wine answers 0 to GetGuiResources).
#include <windows.h>

struct CreateFontCall {
    int height;
    DWORD underline;
    bool faceIsNull;
    wchar_t face[LF_FACESIZE];
};

class ObjectCounter {
  public:
    static void Install(); // once; later calls do nothing
    static int Live();     // created through the wrappers and not yet released
    // Releases of handles that no wrapper created: stock or shared ones, or twice.
    static int ForeignReleases();
    static bool WasDeleted(HGDIOBJ handle);
    static CreateFontCall LastFont();
};

// Kernel handles the process holds (never 0 for a live process: 0 means no count).
int CountKernelHandles();
