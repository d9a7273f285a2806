#include "ApiHook.h"

#include <cstring>

void* HookImport(const char* dll, const char* function, void* replacement) {
    auto base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto at = [base](DWORD offset) { return reinterpret_cast<char*>(base + offset); };
    auto nt = PIMAGE_NT_HEADERS(at(PIMAGE_DOS_HEADER(base)->e_lfanew));
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto d = PIMAGE_IMPORT_DESCRIPTOR(at(imports)); imports && d->Name; ++d) {
        auto names = PIMAGE_THUNK_DATA(at(d->OriginalFirstThunk));
        auto slot = PIMAGE_THUNK_DATA(at(d->FirstThunk));
        for (; _stricmp(at(d->Name), dll) == 0 && names->u1.AddressOfData; ++names, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                strcmp(PIMAGE_IMPORT_BY_NAME(at(names->u1.AddressOfData))->Name, function) != 0) {
                continue;
            }
            void* original = reinterpret_cast<void*>(slot->u1.Function);
            DWORD protect;
            VirtualProtect(&slot->u1.Function, sizeof(void*), PAGE_READWRITE, &protect);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof(void*), protect, &protect);
            return original;
        }
    }
    return nullptr;
}
