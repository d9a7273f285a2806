#include "KRuntime.h"

#include <commctrl.h>
#include <malloc.h>
#include <new>

#include "KFont.h"

CRITICAL_SECTION creationLock;

namespace {
int initCount = 0;
KRuntime* instance = nullptr;

// The low-fragmentation heap is asked for where the system has it; the lookup at
// run time keeps the program starting on systems without the function.
void UseLowFragmentationHeap() {
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (kernel == nullptr) {
        return;
    }
    typedef BOOL(WINAPI * HeapSetInformationProc)(HANDLE, HEAP_INFORMATION_CLASS, PVOID, SIZE_T);
    auto setInformation = reinterpret_cast<HeapSetInformationProc>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "HeapSetInformation")));
    if (setInformation == nullptr) {
        return;
    }
    ULONG lowFragmentation = 2;
    // The C runtime's heap serves new and malloc.
    setInformation(reinterpret_cast<HANDLE>(_get_heap_handle()), HeapCompatibilityInformation,
                   &lowFragmentation, sizeof(lowFragmentation));
}
} // namespace

KRuntime::KRuntime()
    : hInstance(nullptr), classCounter(0), timerCounter(0), menuItemCounter(0),
      menuItemRegistry(nullptr), timerRegistry(nullptr) {
    InitializeCriticalSection(&lock);
    menuItemRegistry = new (std::nothrow) KPointerList(1024, 1024, false);
    timerRegistry = new (std::nothrow) KPointerList(1024, 1024, false);
}

KRuntime::~KRuntime() {
    delete menuItemRegistry;
    delete timerRegistry;
    DeleteCriticalSection(&lock);
}

KRuntime* KRuntime::GetInstance() {
    // Unlocked: the first call is FrameworkInit's, before any other thread exists.
    if (instance == nullptr) {
        instance = new (std::nothrow) KRuntime();
    }
    return instance;
}

void KRuntime::DestroyInstance() {
    delete instance;
    instance = nullptr;
}

HINSTANCE KRuntime::ModuleInstance() {
    KRuntime* runtime = GetInstance();
    return runtime != nullptr ? runtime->hInstance : nullptr;
}

KTimer* KRuntime::GetTimerByID(UINT id) {
    return timerRegistry != nullptr ? static_cast<KTimer*>(timerRegistry->GetByID(id, firstTimerID))
                                    : nullptr;
}

KMenuItem* KRuntime::GetMenuItemByID(UINT id) {
    return menuItemRegistry != nullptr
               ? static_cast<KMenuItem*>(menuItemRegistry->GetByID(id, firstMenuItemID))
               : nullptr;
}

void FrameworkInit(HINSTANCE moduleInstance) {
    if (initCount != 0) {
        ++initCount;
        return;
    }
    UseLowFragmentationHeap();
    KRuntime* runtime = KRuntime::GetInstance();
    if (runtime != nullptr) {
        runtime->hInstance = moduleInstance;
    }
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = 0xFF;
    InitCommonControlsEx(&controls);
    InitializeCriticalSection(&creationLock);
    ++initCount;
}

void FrameworkShutdown() {
    // An unmatched shutdown is ignored: a count below zero would turn the next
    // FrameworkInit into a mere increment.
    if (initCount == 0 || --initCount != 0) {
        return;
    }
    DeleteCriticalSection(&creationLock);
    KFont::DestroyDefaultFont();
    KRuntime::DestroyInstance();
}
