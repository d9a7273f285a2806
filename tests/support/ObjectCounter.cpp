#include "ObjectCounter.h"

#include <set>
#include <utility>
#include <vector>

#include "ApiHook.h"

namespace {

CRITICAL_SECTION lock;
bool installed = false;
std::set<void*> live, deleted; // under lock
int foreign = 0;               // under lock

template <typename F> auto Locked(F access) {
    EnterCriticalSection(&lock);
    auto value = access();
    LeaveCriticalSection(&lock);
    return value;
}

void Track(void* h) {
    Locked([&] { return h != nullptr && live.insert(h).second; });
}

void Untrack(void* h) {
    Locked([&] {
        foreign += live.erase(h) == 0 ? 1 : 0;
        return deleted.insert(h).second;
    });
}

// A wrapper that counts what the real function creates (its result) or releases
// (its first argument). Tag keeps functions of the same type apart.
template <int Tag, bool Creates, typename R, typename First, typename... A> struct Counted {
    static inline R(WINAPI* real)(First, A...) = nullptr;
    static R WINAPI Call(First first, A... rest) {
        if (!Creates) {
            Untrack(reinterpret_cast<void*>(first));
        }
        R result = real(first, rest...);
        Track(Creates ? reinterpret_cast<void*>(result) : nullptr);
        return result;
    }
};

// A function this executable does not import is never called through its wrapper.
template <int Tag, bool Creates, typename R, typename First, typename... A>
void Hook(const char* dll, const char* name, R(WINAPI*)(First, A...)) {
    using W = Counted<Tag, Creates, R, First, A...>;
    W::real = reinterpret_cast<decltype(W::real)>(
        HookImport(dll, name, reinterpret_cast<void*>(&W::Call)));
}

} // namespace

void ObjectCounter::Install() {
    if (std::exchange(installed, true)) {
        return;
    }
    InitializeCriticalSection(&lock);
    Hook<0, true>("gdi32.dll", "CreateFontW", &::CreateFontW);
    Hook<1, true>("gdi32.dll", "CreateSolidBrush", &::CreateSolidBrush);
    Hook<2, true>("gdi32.dll", "CreateCompatibleDC", &::CreateCompatibleDC);
    Hook<3, true>("gdi32.dll", "CreateCompatibleBitmap", &::CreateCompatibleBitmap);
    Hook<4, false>("gdi32.dll", "DeleteObject", &::DeleteObject);
    Hook<5, false>("gdi32.dll", "DeleteDC", &::DeleteDC);
    Hook<6, false>("user32.dll", "DestroyIcon", &::DestroyIcon);
    Hook<7, false>("user32.dll", "DestroyCursor", &::DestroyCursor);
    Hook<8, true>("user32.dll", "LoadImageW", &::LoadImageW); // nothing here loads shared images
}

int ObjectCounter::Live() {
    return Locked([] { return static_cast<int>(live.size()); });
}

int ObjectCounter::ForeignReleases() {
    return Locked([] { return foreign; });
}

bool ObjectCounter::WasDeleted(HGDIOBJ handle) {
    return Locked([&] { return deleted.count(handle) != 0; });
}

int CountKernelHandles(DWORD pid) {
    FARPROC address = GetProcAddress(GetModuleHandleA("ntdll"), "NtQuerySystemInformation");
    auto query = reinterpret_cast<LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG)>(
        reinterpret_cast<void*>(address));
    // SystemHandleInformation (16): a count, then an entry per handle.
    struct Entry {
        ULONG owner; // process id
        BYTE type, flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    std::vector<Table> table(1 << 12);
    // Grown while the answer is STATUS_INFO_LENGTH_MISMATCH.
    while (query(16, table.data(), table.size() * sizeof(Table), nullptr) == LONG(0xC0000004)) {
        table.resize(table.size() * 2);
    }
    int mine = 0;
    for (ULONG i = 0; i < table[0].count; ++i) {
        mine += table[0].entries[i].owner == pid ? 1 : 0;
    }
    return mine;
}
