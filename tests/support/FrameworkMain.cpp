// Test main for executables that use the framework: it is started once for the
// whole process, as the program's entry does, and the object counter is in place
// before any test creates a font or a window.
#include <gtest/gtest.h>

#include "FrameworkMain.h"
#include "KRuntime.h"
#include "ObjectCounter.h"

bool frameworkTakenDown = false;

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ObjectCounter::Install();
    FrameworkInit(GetModuleHandleW(nullptr));
    int result = RUN_ALL_TESTS();
    if (!frameworkTakenDown) {
        FrameworkShutdown();
    }
    return result;
}
