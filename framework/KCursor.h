#pragma once

#include <windows.h>

// A mouse cursor. A shared system cursor is never destroyed.
class KCursor {
  public:
    KCursor();
    virtual ~KCursor();
    KCursor(const KCursor&) = delete;
    KCursor& operator=(const KCursor&) = delete;

    void LoadSystemCursor(WORD id);
    HCURSOR GetHandle() const { return handle; }

  private:
    HCURSOR handle;
    HINSTANCE moduleInstance;
    bool isShared;
};
