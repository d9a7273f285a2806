#include "KIcon.h"

#include <initializer_list>

#include "KRuntime.h"

KIcon::KIcon()
    : handle(nullptr), moduleInstance(KRuntime::ModuleInstance()), smallHandle(nullptr) {}

KIcon::~KIcon() {
    Release();
}

void KIcon::Release() {
    for (HICON* owned : {&handle, &smallHandle}) {
        if (*owned != nullptr) {
            DestroyIcon(*owned);
            *owned = nullptr;
        }
    }
}

void KIcon::LoadFromResource(WORD id) {
    // A second load replaces the first icon, which nobody else releases.
    Release();
    handle = static_cast<HICON>(
        LoadImageW(moduleInstance, MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    // Asked for at the small size, the loader picks the icon's own small image,
    // where the system would otherwise shrink the large one.
    smallHandle = static_cast<HICON>(LoadImageW(moduleInstance, MAKEINTRESOURCEW(id), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), 0));
}
