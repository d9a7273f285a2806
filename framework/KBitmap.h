#pragma once

#include <windows.h>

// A bitmap loaded from the program's resources at its own size, deleted with the object.
class KBitmap {
  public:
    KBitmap();
    virtual ~KBitmap();
    KBitmap(const KBitmap&) = delete;
    KBitmap& operator=(const KBitmap&) = delete;

    void LoadFromResource(WORD id);
    HBITMAP GetHandle() const { return handle; }

  private:
    HBITMAP handle;
    HINSTANCE moduleInstance;
};
