#pragma once
// KComponent: the base of every object that owns a window. Attributes live in
// fields, so a component can be configured before its window exists; setters
// apply to the window only once it does. Every component registers a window
// class of its own ("RFC_<n>") and is bound to its window through the window
// properties "RFC", "RFCOldProc" and "RFCClsName"; all framework windows run the
// one SharedWindowProc. Everything but construction runs on the window's thread.

#include <windows.h>

#include "KCursor.h"
#include "KFont.h"
#include "KString.h"

class KComponent {
  public:
    KComponent();

    virtual void ReadAttributesFromWindow();
    virtual void AttachToWindow(HWND h);
    virtual void SetMouseCursor(KCursor* c);
    virtual KString GetComponentClassName();
    virtual bool CreateComponent();
    virtual LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    virtual void SetFont(KFont* f);
    virtual KFont* GetFont();
    virtual KString GetText();
    virtual void SetText(const KString& s);
    virtual void SetHWND(HWND h);
    virtual HWND GetHWND();
    virtual void SetParentHWND(HWND h);
    virtual HWND GetParentHWND();
    virtual DWORD GetStyle();
    virtual void SetStyle(DWORD s);
    virtual DWORD GetExStyle();
    virtual void SetExStyle(DWORD s);
    virtual int GetX();
    virtual int GetY();
    virtual int GetWidth();
    virtual int GetHeight();
    virtual void SetSize(int w, int h);
    virtual void SetPosition(int newX, int newY);
    virtual void SetVisible(bool b);
    virtual bool IsVisible();
    virtual bool IsEnabled();
    virtual void SetEnabled(bool b);
    virtual void BringToFront();
    virtual void SetKeyboardFocus();
    virtual void Repaint();
    virtual ~KComponent();

    KComponent(const KComponent&) = delete;
    KComponent& operator=(const KComponent&) = delete;

  protected:
    // The processing a message gets when the component does not handle it: the
    // window's previous procedure when there is one, otherwise DefWindowProcW.
    static LRESULT DefaultProcessing(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    // Stores and applies without going through the virtual setters (constructors).
    void StoreStyle(DWORD s) { style = s; }
    void StoreExStyle(DWORD s) { exStyle = s; }
    void StoreSize(int w, int h) {
        width = w;
        height = h;
    }
    void StoreText(const KString& s) { text = s; }
    void StoreVisible(bool b) { visible = b; }

    KString className;
    KString text;
    HWND hwnd;
    HWND parentHwnd;
    DWORD style;
    DWORD exStyle;
    int x, y;
    int width, height;
    bool visible;
    bool enabled;
    bool classRegistered;
    KFont* font;     // not owned
    KCursor* cursor; // not owned
    WNDCLASSEXW windowClass;

  private:
    friend HWND CreateComponentWindow(KComponent* component);
    // The name the window was created with: "RFCClsName" points at its characters
    // for the window's whole life, also when GetComponentClassName made it afresh.
    KString windowClassName;
};

// The one window procedure of every framework window class.
LRESULT CALLBACK SharedWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
// Creates the component's window with the creation hook in place; returns what
// CreateWindowExW returned.
HWND CreateComponentWindow(KComponent* component);
