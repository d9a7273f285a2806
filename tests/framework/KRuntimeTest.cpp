#include "KRuntime.h"

#include <gtest/gtest.h>

#include "FrameworkMain.h"

// The framework's last shutdown, so it runs in a process of its own.
TEST(FreshProcess, NestedInitKeepsTheFrameworkUpUntilTheLastShutdown) {
    KRuntime::GetInstance()->classCounter = 4242; // a mark that only this runtime carries
    FrameworkInit(nullptr);                        // nested: the instance handle stays
    FrameworkShutdown();
    EXPECT_EQ(KRuntime::GetInstance()->classCounter, 4242) << "one shutdown of two must not end it";
    EXPECT_EQ(KRuntime::ModuleInstance(), GetModuleHandleW(nullptr));
    FrameworkShutdown(); // the test main's init is matched here
    frameworkTakenDown = true;
    EXPECT_EQ(KRuntime::GetInstance()->classCounter, 0) << "the last shutdown destroys the runtime";
    KRuntime::DestroyInstance();
    FrameworkShutdown(); // unmatched: changes nothing, so the next start is a real one
    FrameworkInit(GetModuleHandleW(nullptr));
    EXPECT_EQ(KRuntime::ModuleInstance(), GetModuleHandleW(nullptr));
    FrameworkShutdown();
}

