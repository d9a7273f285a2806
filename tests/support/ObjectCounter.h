#pragma once
// Counts the GDI and USER objects this executable creates and releases, through
// wrappers put into its import table (Wine answers 0 to GetGuiResources), and the
// kernel handles of the process through the system's handle table.

#include <windows.h>

#include <vector>

struct CreateFontCall {
    int height;
    DWORD underline;
    bool faceIsNull;
    wchar_t face[LF_FACESIZE];
};

class ObjectCounter {
  public:
    // Installs the wrappers once; later calls do nothing.
    static void Install();
    // Objects created through the wrapped functions and not yet released.
    static int Live();
    // Releases asked for on handles that no wrapped function created (stock
    // objects, shared cursors, or a handle released twice).
    static int ForeignReleases();
    // Makes the next CreateFontW calls fail with a null handle.
    static void FailNextFonts(int count);
    static CreateFontCall LastFont();
    // Whether `handle` was ever passed to DeleteObject.
    static bool WasDeleted(HGDIOBJ handle);
};

// Kernel handles the process holds, read from the system handle table. Never 0
// for a live process, so a test that sees 0 knows the count does not work.
int CountKernelHandles();
