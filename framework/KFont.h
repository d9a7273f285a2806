#pragma once
// A GDI font owned by this object, or the shared stock font that nobody owns.

#include <windows.h>

#include "KString.h"

class KFont {
  public:
    KFont(const KString& faceName, int height, bool underline);
    virtual HFONT GetHandle();
    virtual ~KFont();
    KFont(const KFont&) = delete;
    KFont& operator=(const KFont&) = delete;

    // The process-wide default font (the stock DEFAULT_GUI_FONT), made on first use.
    static KFont* GetDefaultFont();
    // Called by the last framework shutdown.
    static void DestroyDefaultFont();

  private:
    KFont(); // the stock form
    HFONT handle;
    bool ownsHandle;
};
