#pragma once

class FTrackBar;

// Told by an FTrackBar. One object may listen to several senders and tells them
// apart by address; the event does nothing unless overridden.
class FTrackBarListener {
  public:
    virtual ~FTrackBarListener() {}
    virtual void OnTrackBarChange(FTrackBar* /*sender*/) {}
};
