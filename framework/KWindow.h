#pragma once
// KWindow: the framework's top-level window. Closing destroys it, destruction
// ends the message loop, and notifications arriving at it (child commands,
// scrolls, menu commands, timer ticks) become calls on the objects they concern.
// KFrame: a KWindow with a caption, a system menu and a minimise box.

#include "KComponent.h"
#include "KIcon.h"

class KWindow : public KComponent {
  public:
    KWindow();
    LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) override;
    ~KWindow() override;

    virtual void SetIcon(KIcon* icon);
    virtual void OnClose();
    virtual void OnDestroy();
    virtual void CenterScreen();
    virtual bool AddComponent(KComponent* c);
};

class KFrame : public KWindow {
  public:
    KFrame();
};
