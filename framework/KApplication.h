#pragma once

#include "KString.h"

// Base of the program's application object: the entry runs it and deletes it.
class KApplication {
  public:
    virtual int Run(KString** argv, int argc) {
        (void)argv;
        (void)argc;
        return 0;
    }
    virtual ~KApplication() {}
};
