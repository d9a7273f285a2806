#include "SystemLibraries.h"

#include <windows.h>

#include <delayimp.h>

// The program takes winmm and wininet as delay-loaded imports
// (cmake/SystemDlls.cmake), so the system loader does not look for them before
// the entry runs. dlltool names each import descriptor after its library file.
extern "C" const ImgDelayDescr _DELAY_IMPORT_DESCRIPTOR_libwinmm_delay_a;
extern "C" const ImgDelayDescr _DELAY_IMPORT_DESCRIPTOR_libwininet_delay_a;
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot);
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {
bool searchesSystemFolderOnly = false; // set by the entry before any other thread exists

// The delay-load helper asks this before it loads a DLL: the DLL of that name
// in the system folder.
FARPROC WINAPI LoadFromSystemFolder(unsigned note, PDelayLoadInfo info) {
    if (note != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) {
        return nullptr;
    }
    wchar_t path[MAX_PATH + 64];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr; // the helper then loads by name, as a static import would
    }
    path[length++] = L'\\';
    for (const char* c = info->szDll; *c != '\0'; ++c) {
        if (length + 1 >= sizeof(path) / sizeof(path[0])) {
            return nullptr;
        }
        path[length++] = static_cast<unsigned char>(*c); // DLL names are ASCII
    }
    path[length] = L'\0';
    // The DLL's own dependencies: from the default directories when they are the
    // system folder alone, else by the altered search path, which starts beside
    // the DLL (in the system folder) and skips the program's folder.
    return reinterpret_cast<FARPROC>(LoadLibraryExW(
        path, nullptr, searchesSystemFolderOnly ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH));
}

// Fills every import slot of one DLL. The linker drops the lazy thunks of slots
// that the code calls directly (all of ours), so nothing fills them on a first
// call: this must run before any call into the DLL.
void ResolveImports(const ImgDelayDescr& descriptor) {
    BYTE* image = reinterpret_cast<BYTE*>(&__ImageBase);
    auto slot = reinterpret_cast<FARPROC*>(image + descriptor.rvaIAT);
    auto name = reinterpret_cast<const IMAGE_THUNK_DATA*>(image + descriptor.rvaINT);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
        __delayLoadHelper2(&descriptor, slot); // a DLL or function missing ends the program
    }
}
} // namespace

// Declared with C linkage by delayimp.h; this definition replaces the CRT's empty one.
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;

void LoadSystemLibraries() {
    // Windows 7 without its loader update lacks the call; the hook above still
    // keeps winmm and wininet to the system folder there.
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesProc>(reinterpret_cast<void*>(
        kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
    searchesSystemFolderOnly =
        setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
    ResolveImports(_DELAY_IMPORT_DESCRIPTOR_libwinmm_delay_a);
    ResolveImports(_DELAY_IMPORT_DESCRIPTOR_libwininet_delay_a);
}
