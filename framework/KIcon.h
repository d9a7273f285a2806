#pragma once

#include <windows.h>

// An icon loaded from the program's resources at the system's large icon size,
// with the same icon's own small image beside it; both destroyed with the object.
class KIcon {
  public:
    KIcon();
    virtual ~KIcon();
    KIcon(const KIcon&) = delete;
    KIcon& operator=(const KIcon&) = delete;

    void LoadFromResource(WORD id);
    HICON GetHandle() const { return handle; }
    HICON GetSmallHandle() const { return smallHandle; }

  private:
    void Release();

    HICON handle;
    HINSTANCE moduleInstance;
    HICON smallHandle; // the resource's image at the small-icon size (title bar, task bar)
};
