#pragma once

class FButton;

// Told by an FButton. One object may listen to several senders and tells them
// apart by address; the event does nothing unless overridden.
class FButtonListener {
  public:
    virtual ~FButtonListener() {}
    virtual void OnButtonPress(FButton* /*sender*/) {}
};
