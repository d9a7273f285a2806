#include "KCursor.h"

#include "KRuntime.h"

KCursor::KCursor() : handle(nullptr), moduleInstance(KRuntime::ModuleInstance()), isShared(false) {}

KCursor::~KCursor() {
    if (!isShared && handle != nullptr) {
        DestroyCursor(handle);
    }
}

void KCursor::LoadSystemCursor(WORD id) {
    handle = LoadCursorW(nullptr, MAKEINTRESOURCEW(id));
    if (handle != nullptr) {
        isShared = true;
    }
}
