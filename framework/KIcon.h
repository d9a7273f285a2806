#pragma once

#include <windows.h>

// An icon loaded from the program's resources, destroyed with the object.
class KIcon {
  public:
    KIcon();
    virtual ~KIcon();
    KIcon(const KIcon&) = delete;
    KIcon& operator=(const KIcon&) = delete;

    void LoadFromResource(WORD id);
    HICON GetHandle() const { return handle; }

  private:
    HICON handle;
    HINSTANCE moduleInstance;
};
