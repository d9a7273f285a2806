#include "KRuntime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "FrameworkMain.h"

// A full list grows by its step; one that cannot (no memory, no step) refuses, unchanged.
TEST(KPointerListTest, GrowsByItsStepOrRefusesTheEntry) {
    // The largest step wraps the byte count of a 32-bit size, on 64 bits the int capacity.
    const int largest = static_cast<int>(std::min<uint64_t>(SIZE_MAX / sizeof(void*), INT32_MAX));
    struct {
        int capacity, growBy, count, finalCapacity;
    } cases[] = {{1024, 1024, 1025, 2048}, {2, 2, 3, 4}, {1, largest, 1, 1}, {1, 0, 1, 1},
                 {1, -4, 1, 1}};
    for (auto& c : cases) {
        KPointerList list(c.capacity, c.growBy, c.growBy == 2);
        for (int i = 0; i <= c.capacity; ++i) {
            EXPECT_EQ(list.Add(&cases[i % 5]), i < c.count) << c.growBy << " " << i;
        }
        EXPECT_TRUE(list.GetCount() == c.count && list.GetCapacity() == c.finalCapacity);
        EXPECT_TRUE(list.GetByID(7, 7) == &cases[0] && list.GetByID(6, 7) == nullptr);
        EXPECT_TRUE(list.GetByID(7 + c.count - 1, 7) == &cases[(c.count - 1) % 5] &&
                    list.GetByID(7 + c.count, 7) == nullptr);
        EXPECT_TRUE(list.SetAt(0, nullptr) && !list.GetByID(7, 7) && !list.SetAt(c.count, &c));
    }
}

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

