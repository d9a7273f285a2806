#include "KRuntime.h"

#include <gtest/gtest.h>

#include "FrameworkMain.h"

namespace {

void* Entry(int i) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(i + 1));
}

// A full list grows by its step and keeps its entries; a list that cannot grow
// (no memory for the step, or no step at all) refuses the entry and stays as it was.
TEST(KPointerListTest, GrowsByItsStepOrRefusesTheEntry) {
    struct {
        int capacity, growBy, adds;
        bool locked;
        int count, finalCapacity;
    } cases[] = {
        {1024, 1024, 1025, false, 1025, 2048},
        {2, 2, 3, true, 3, 4},
        {1, 0x3FFFFFFF, 2, false, 1, 1},
        {1, 0, 2, false, 1, 1},
        {1, -4, 2, true, 1, 1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.growBy);
        KPointerList list(c.capacity, c.growBy, c.locked);
        for (int i = 0; i < c.adds; ++i) {
            EXPECT_EQ(list.Add(Entry(i)), i < c.count) << i;
        }
        EXPECT_EQ(list.GetCount(), c.count);
        EXPECT_EQ(list.GetCapacity(), c.finalCapacity);
        for (int i = 0; i < c.count; ++i) {
            ASSERT_EQ(list.GetByID(7 + i, 7), Entry(i));
        }
        EXPECT_EQ(list.GetByID(7 + c.count, 7), nullptr);
        EXPECT_TRUE(list.SetAt(0, nullptr));
        EXPECT_EQ(list.GetByID(7, 7), nullptr);
        EXPECT_FALSE(list.SetAt(c.count, Entry(0)));
    }
}

TEST(KRuntimeTest, LookupsAnswerOnlyInsideTheRegisteredRange) {
    KRuntime* runtime = KRuntime::GetInstance();
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(runtime->hInstance, GetModuleHandleW(nullptr));
    KPointerList& timers = *runtime->timerRegistry;
    const int base = timers.GetCount();
    int a = 0, b = 0;
    timers.Add(&a); // stand-ins: the lookup only hands back what was registered
    timers.Add(&b);
    const UINT first = 1001 + base;
    struct {
        UINT id;
        void* expected;
    } cases[] = {
        {first, &a},   {first + 1, &b},       {first + 2, nullptr},   {1000, nullptr},
        {0, nullptr},  {0x80000000u, nullptr}, {0xFFFFFFFFu, nullptr},
    };
    for (auto& c : cases) {
        EXPECT_EQ(static_cast<void*>(runtime->GetTimerByID(c.id)), c.expected) << c.id;
    }
    timers.SetAt(base, nullptr);
    timers.SetAt(base + 1, nullptr);
    for (UINT id : {30000u, 30001u, 0u}) {
        EXPECT_EQ(runtime->GetMenuItemByID(id), nullptr);
    }
}

// The framework's last shutdown, so it runs in a process of its own.
TEST(FreshProcess, NestedInitKeepsTheFrameworkUpUntilTheLastShutdown) {
    KRuntime* runtime = KRuntime::GetInstance();
    runtime->classCounter = 4242; // a mark that only this runtime object carries
    FrameworkInit(nullptr);       // nested: the instance handle stays
    EXPECT_EQ(runtime->hInstance, GetModuleHandleW(nullptr));
    FrameworkShutdown();
    EXPECT_EQ(KRuntime::GetInstance()->classCounter, 4242) << "one shutdown of two must not end it";
    FrameworkShutdown(); // the test main's init is matched here
    frameworkTakenDown = true;
    EXPECT_EQ(KRuntime::GetInstance()->classCounter, 0) << "the last shutdown destroys the runtime";
    KRuntime::DestroyInstance();

    // An unmatched shutdown changes nothing: the next start is a real one.
    FrameworkShutdown();
    FrameworkInit(GetModuleHandleW(nullptr));
    EXPECT_EQ(KRuntime::ModuleInstance(), GetModuleHandleW(nullptr));
    FrameworkShutdown();
}

} // namespace
