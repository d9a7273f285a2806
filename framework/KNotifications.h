#pragma once
// Notification operations that a top-level window routes to the objects they
// concern. A component or menu item takes part by deriving from the interface;
// the window calls only objects that do, everything else gets default processing.

// A control whose window reports a click (WM_COMMAND with code 0).
class KPressNotifiable {
  public:
    virtual ~KPressNotifiable() {}
    virtual void OnPress() = 0;
};

// A list box whose selection changed (code 1; a combo box's code 1 is not routed).
class KListSelectNotifiable {
  public:
    virtual ~KListSelectNotifiable() {}
    virtual void OnListItemSelect() = 0;
};

// A combo box whose selection was confirmed (code 9).
class KComboSelectNotifiable {
  public:
    virtual ~KComboSelectNotifiable() {}
    virtual void OnComboItemSelect() = 0;
};

// A scroll bar or track control that moved (WM_HSCROLL / WM_VSCROLL).
class KScrollNotifiable {
  public:
    virtual ~KScrollNotifiable() {}
    virtual void OnScrollChange() = 0;
};

// An entry of the runtime's menu-item registry (command ids from 30001).
class KMenuItem {
  public:
    virtual ~KMenuItem() {}
    virtual void OnMenuItemPress() = 0;
};
