#include "SystemLibraries.h"

#include <windows.h>

#include <delayimp.h>

#include <cwchar>

// The program takes winmm and wininet as delay-loaded imports
// (cmake/SystemDlls.cmake), so the system loader does not look for them before
// the entry runs. dlltool names each import descriptor after its library file, with
// the same symbol on 32 and 64 bits: named as is, without C's underscore on 32.
extern "C" const ImgDelayDescr
    winmmDelayImports __asm__("__DELAY_IMPORT_DESCRIPTOR_libwinmm_delay_a");
extern "C" const ImgDelayDescr
    wininetDelayImports __asm__("__DELAY_IMPORT_DESCRIPTOR_libwininet_delay_a");
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {
// The DLL of that name in the system folder, or null. Never by bare name: without
// SetDefaultDllDirectories (Windows 7 as shipped) that search starts in the program's folder.
HMODULE LoadFromSystemFolder(const char* dll, bool searchesSystemFolderOnly) {
    wchar_t path[MAX_PATH + 64];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    path[length++] = L'\\';
    for (const char* c = dll; *c != '\0'; ++c) {
        if (length + 1 >= sizeof(path) / sizeof(path[0])) {
            return nullptr;
        }
        path[length++] = static_cast<unsigned char>(*c); // DLL names are ASCII
    }
    path[length] = L'\0';
    // The DLL's own dependencies: from the default directories when they are the
    // system folder alone, else by the altered search path, which starts beside
    // the DLL (in the system folder) and skips the program's folder.
    return LoadLibraryExW(path, nullptr,
                          searchesSystemFolderOnly ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

void ShowFailure(const wchar_t* format, const char* first, const char* second) {
    wchar_t text[256];
    swprintf(text, sizeof(text) / sizeof(text[0]), format, first, second);
    MessageBoxW(nullptr, text, L"Error", MB_ICONERROR | MB_OK);
}

// Loads one descriptor's DLL and fills every import slot from it. The linker
// drops the lazy thunks of slots that the code calls directly (all of ours), so
// nothing would fill them on a first call: this runs before any call into the
// DLL, and false (after the box) leaves the program nothing to do but end.
bool ResolveImports(const ImgDelayDescr& descriptor, bool searchesSystemFolderOnly) {
    BYTE* image = reinterpret_cast<BYTE*>(&__ImageBase);
    auto dll = reinterpret_cast<const char*>(image + descriptor.rvaDLLName);
    // Where the delay-load helper keeps the DLL: set, the helper never loads it by name.
    auto module = reinterpret_cast<HMODULE*>(image + descriptor.rvaHmod);
    auto slot = reinterpret_cast<FARPROC*>(image + descriptor.rvaIAT);
    auto name = reinterpret_cast<const IMAGE_THUNK_DATA*>(image + descriptor.rvaINT);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
        // By name: the import libraries are made from a list of names.
        const char* function =
            reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(image + name->u1.AddressOfData)->Name;
        if (*module == nullptr &&
            (*module = LoadFromSystemFolder(dll, searchesSystemFolderOnly)) == nullptr) {
            ShowFailure(L"Cannot load %hs from the system folder (for %hs).", dll, function);
            return false;
        }
        if ((*slot = GetProcAddress(*module, function)) == nullptr) {
            ShowFailure(L"Cannot find %hs in %hs.", function, dll);
            return false;
        }
    }
    return true;
}
} // namespace

bool LoadSystemLibraries() {
    // Windows 7 without its loader update lacks the call; loading by full path
    // still keeps winmm and wininet to the system folder there.
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesProc>(reinterpret_cast<void*>(
        kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
    const bool systemFolderOnly =
        setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
    return ResolveImports(winmmDelayImports, systemFolderOnly) &&
           ResolveImports(wininetDelayImports, systemFolderOnly);
}
