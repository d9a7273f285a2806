#pragma once
// Counts the GDI and USER objects this executable creates and releases, through
// wrappers put into its import table (Wine answers 0 to GetGuiResources), and the
// kernel handles of the process through the system's handle table.

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
    // Objects created through the wrapped functions and not yet released.
    static int Live();
    // Releases of handles that no wrapped function created (stock objects, shared
    // cursors, or a handle released twice).
    static int ForeignReleases();
    static bool WasDeleted(HGDIOBJ handle);
    static void FailNextFonts(int count); // CreateFontW then returns null
    static CreateFontCall LastFont();
};

// Kernel handles the process holds. Never 0 for a live process, so a test that
// sees 0 knows the count does not work.
int CountKernelHandles();
