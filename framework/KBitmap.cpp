#include "KBitmap.h"

#include "KRuntime.h"

KBitmap::KBitmap() : handle(nullptr), moduleInstance(KRuntime::ModuleInstance()) {}

KBitmap::~KBitmap() {
    if (handle != nullptr) {
        DeleteObject(handle);
    }
}

void KBitmap::LoadFromResource(WORD id) {
    // A second load replaces the first bitmap, which nobody else releases.
    if (handle != nullptr) {
        DeleteObject(handle);
    }
    handle = static_cast<HBITMAP>(
        LoadImageW(moduleInstance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_DEFAULTSIZE));
}
