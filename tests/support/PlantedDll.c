/* A DLL named after a system DLL, laid beside a program that must never load it. Built
   with this entry (-e planted_entry, no C runtime), it leaves FILE.ran beside itself once
   it is loaded; built with the C runtime's own entry, it does nothing. */
#include <windows.h>
BOOL WINAPI Entry(HINSTANCE self, DWORD reason, LPVOID reserved) __asm__("planted_entry");
BOOL WINAPI Entry(HINSTANCE self, DWORD reason, LPVOID reserved) {
    wchar_t marker[MAX_PATH + 8];
    DWORD n = GetModuleFileNameW(self, marker, MAX_PATH);
    if (reason == DLL_PROCESS_ATTACH && n > 0) {
        lstrcpyW(marker + n, L".ran");
        CloseHandle(CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    }
    (void)reserved;
    return TRUE;
}
