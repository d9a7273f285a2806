#pragma once

#include "KApplication.h"

// The player application: the player-wide resources around the main window.
class SonvaleApp : public KApplication {
  public:
    // The arguments are not used. Returns the exit code, 0.
    int Run(KString** argv, int argc) override;
};

// Builds the main window, centres and shows it and runs the message loop until the
// window is gone, in a single-threaded COM apartment of the calling thread.
void RunMainWindow();
