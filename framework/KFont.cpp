#include "KFont.h"

#include <new>

namespace {
KFont* defaultFont = nullptr; // UI thread only
}

KFont::KFont(const KString& faceName, int height, bool underline) {
    KString face(faceName);
    handle = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, underline ? 1 : 0, FALSE,
                         DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         VARIABLE_PITCH | FF_DONTCARE,
                         face.IsEmpty() ? nullptr : static_cast<const wchar_t*>(face));
    ownsHandle = handle != nullptr;
}

KFont::KFont() : handle(static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT))), ownsHandle(false) {}

HFONT KFont::GetHandle() {
    return handle;
}

KFont::~KFont() {
    if (ownsHandle) {
        DeleteObject(handle);
    }
}

KFont* KFont::GetDefaultFont() {
    if (defaultFont == nullptr) {
        defaultFont = new (std::nothrow) KFont();
    }
    return defaultFont;
}

void KFont::DestroyDefaultFont() {
    delete defaultFont;
    defaultFont = nullptr;
}
