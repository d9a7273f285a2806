#include "ObjectCounter.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "ApiHook.h"

namespace {

CRITICAL_SECTION lock;
std::set<void*>* live;
std::vector<void*>* deleted;
int foreign = 0;
int failFonts = 0;
CreateFontCall lastFont;

void Track(void* h) {
    if (h != nullptr) {
        EnterCriticalSection(&lock);
        live->insert(h);
        LeaveCriticalSection(&lock);
    }
}

void Untrack(void* h) {
    EnterCriticalSection(&lock);
    if (live->erase(h) == 0) {
        ++foreign;
    }
    deleted->push_back(h);
    LeaveCriticalSection(&lock);
}

#define ORIGINAL(name) decltype(&::name) real_##name = nullptr

ORIGINAL(CreateFontW);
ORIGINAL(CreateSolidBrush);
ORIGINAL(CreateCompatibleDC);
ORIGINAL(CreateCompatibleBitmap);
ORIGINAL(DeleteObject);
ORIGINAL(DeleteDC);
ORIGINAL(LoadImageW);
ORIGINAL(DestroyIcon);
ORIGINAL(DestroyCursor);

HFONT WINAPI CountCreateFontW(int h, int w, int e, int o, int weight, DWORD italic, DWORD underline,
                              DWORD strike, DWORD charset, DWORD outPrecision, DWORD clipPrecision,
                              DWORD quality, DWORD pitch, LPCWSTR face) {
    EnterCriticalSection(&lock);
    lastFont.height = h;
    lastFont.underline = underline;
    lastFont.faceIsNull = face == nullptr;
    lstrcpynW(lastFont.face, face != nullptr ? face : L"", LF_FACESIZE);
    bool fail = failFonts > 0;
    if (fail) {
        --failFonts;
    }
    LeaveCriticalSection(&lock);
    if (fail) {
        return nullptr;
    }
    HFONT f = real_CreateFontW(h, w, e, o, weight, italic, underline, strike, charset, outPrecision,
                               clipPrecision, quality, pitch, face);
    Track(f);
    return f;
}

HBRUSH WINAPI CountCreateSolidBrush(COLORREF c) {
    HBRUSH b = real_CreateSolidBrush(c);
    Track(b);
    return b;
}

HDC WINAPI CountCreateCompatibleDC(HDC dc) {
    HDC m = real_CreateCompatibleDC(dc);
    Track(m);
    return m;
}

HBITMAP WINAPI CountCreateCompatibleBitmap(HDC dc, int w, int h) {
    HBITMAP b = real_CreateCompatibleBitmap(dc, w, h);
    Track(b);
    return b;
}

BOOL WINAPI CountDeleteObject(HGDIOBJ h) {
    Untrack(h);
    return real_DeleteObject(h);
}

BOOL WINAPI CountDeleteDC(HDC dc) {
    Untrack(dc);
    return real_DeleteDC(dc);
}

HANDLE WINAPI CountLoadImageW(HINSTANCE inst, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
    HANDLE h = real_LoadImageW(inst, name, type, cx, cy, flags);
    // Shared images belong to the system and are never released by their user.
    if ((flags & LR_SHARED) == 0) {
        Track(h);
    }
    return h;
}

BOOL WINAPI CountDestroyIcon(HICON h) {
    Untrack(h);
    return real_DestroyIcon(h);
}

BOOL WINAPI CountDestroyCursor(HCURSOR h) {
    Untrack(h);
    return real_DestroyCursor(h);
}

template <typename T> void Hook(const char* dll, const char* name, T& original, T wrapper) {
    original = reinterpret_cast<T>(HookImport(dll, name, reinterpret_cast<void*>(wrapper)));
    if (original == nullptr) {
        // Not imported by this executable: nothing of the program can call it either.
        original = reinterpret_cast<T>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(dll), name)));
    }
}

} // namespace

void ObjectCounter::Install() {
    if (live != nullptr) {
        return;
    }
    InitializeCriticalSection(&lock);
    live = new std::set<void*>;
    deleted = new std::vector<void*>;
    LoadLibraryA("gdi32.dll");
    LoadLibraryA("user32.dll");
    Hook("gdi32.dll", "CreateFontW", real_CreateFontW, &CountCreateFontW);
    Hook("gdi32.dll", "CreateSolidBrush", real_CreateSolidBrush, &CountCreateSolidBrush);
    Hook("gdi32.dll", "CreateCompatibleDC", real_CreateCompatibleDC, &CountCreateCompatibleDC);
    Hook("gdi32.dll", "CreateCompatibleBitmap", real_CreateCompatibleBitmap,
         &CountCreateCompatibleBitmap);
    Hook("gdi32.dll", "DeleteObject", real_DeleteObject, &CountDeleteObject);
    Hook("gdi32.dll", "DeleteDC", real_DeleteDC, &CountDeleteDC);
    Hook("user32.dll", "LoadImageW", real_LoadImageW, &CountLoadImageW);
    Hook("user32.dll", "DestroyIcon", real_DestroyIcon, &CountDestroyIcon);
    Hook("user32.dll", "DestroyCursor", real_DestroyCursor, &CountDestroyCursor);
}

int ObjectCounter::Live() {
    EnterCriticalSection(&lock);
    int n = static_cast<int>(live->size());
    LeaveCriticalSection(&lock);
    return n;
}

int ObjectCounter::ForeignReleases() {
    EnterCriticalSection(&lock);
    int n = foreign;
    LeaveCriticalSection(&lock);
    return n;
}

void ObjectCounter::FailNextFonts(int count) {
    EnterCriticalSection(&lock);
    failFonts = count;
    LeaveCriticalSection(&lock);
}

CreateFontCall ObjectCounter::LastFont() {
    EnterCriticalSection(&lock);
    CreateFontCall c = lastFont;
    LeaveCriticalSection(&lock);
    return c;
}

bool ObjectCounter::WasDeleted(HGDIOBJ handle) {
    EnterCriticalSection(&lock);
    bool found = std::find(deleted->begin(), deleted->end(), handle) != deleted->end();
    LeaveCriticalSection(&lock);
    return found;
}

namespace {
struct HandleEntry {
    ULONG processId;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
typedef LONG(WINAPI* QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
} // namespace

int CountKernelHandles() {
    auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return 0;
    }
    const LONG infoLengthMismatch = static_cast<LONG>(0xC0000004);
    ULONG size = 1 << 16;
    for (;;) {
        void* buffer = malloc(size);
        ULONG needed = 0;
        LONG status = query(16, buffer, size, &needed); // SystemHandleInformation
        if (status == infoLengthMismatch) {
            free(buffer);
            size *= 2;
            continue;
        }
        int mine = 0;
        if (status >= 0) {
            auto table = static_cast<HandleTable*>(buffer);
            DWORD pid = GetCurrentProcessId();
            for (ULONG i = 0; i < table->count; ++i) {
                if (table->entries[i].processId == pid) {
                    ++mine;
                }
            }
        }
        free(buffer);
        return mine;
    }
}
