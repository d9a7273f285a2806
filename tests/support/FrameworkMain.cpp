// Starts the framework once for the whole process, as the program's entry does.
#include <gtest/gtest.h>

#include "KRuntime.h"
#include "ObjectCounter.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ObjectCounter::Install();
    FrameworkInit(GetModuleHandleW(nullptr));
    const int result = RUN_ALL_TESTS();
    FrameworkShutdown();
    return result;
}
