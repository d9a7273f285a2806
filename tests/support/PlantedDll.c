/* A DLL named after a system DLL, with nothing in it: tests lay it beside a
   program that must never load it. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)self;
    (void)reason;
    (void)reserved;
    return TRUE;
}
