#include "KIcon.h"

#include "KRuntime.h"

KIcon::KIcon() : handle(nullptr), moduleInstance(KRuntime::ModuleInstance()) {}

KIcon::~KIcon() {
    if (handle != nullptr) {
        DestroyIcon(handle);
    }
}

void KIcon::LoadFromResource(WORD id) {
    // A second load replaces the first icon, which nobody else releases.
    if (handle != nullptr) {
        DestroyIcon(handle);
    }
    handle = static_cast<HICON>(
        LoadImageW(moduleInstance, MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
}
