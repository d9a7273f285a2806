#pragma once

class FCheckBox;

// Told by an FCheckBox. One object may listen to several senders and tells them
// apart by address; the event does nothing unless overridden.
class FCheckBoxListener {
  public:
    virtual ~FCheckBoxListener() {}
    virtual void OnCheckBoxChange(FCheckBox* /*sender*/) {}
};
