// Starts the framework once for the whole process, as the program's entry does.
#include <gtest/gtest.h>

#include "FrameworkMain.h"
#include "KRuntime.h"
#include "ObjectCounter.h"

bool frameworkTakenDown = false;

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ObjectCounter::Install();
    FrameworkInit(GetModuleHandleW(nullptr));
    const int result = RUN_ALL_TESTS();
    frameworkTakenDown ? void() : FrameworkShutdown();
    return result;
}
