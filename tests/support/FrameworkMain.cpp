// Test main for executables that use the framework: started once for the whole
// process, as the program's entry does, with the object counter in place first.
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
