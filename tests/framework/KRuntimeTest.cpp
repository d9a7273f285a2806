#include "KApplication.h"
#include "KRuntime.h"

#include <gtest/gtest.h>

#include "FrameworkMain.h"

namespace {

TEST(KPointerListTest, GrowsByItsStepAndKeepsEntries) {
    KPointerList list(1024, 1024, false);
    for (int i = 0; i < 1024; ++i) {
        ASSERT_TRUE(list.Add(reinterpret_cast<void*>(static_cast<intptr_t>(i + 1))));
    }
    EXPECT_EQ(list.GetCapacity(), 1024);
    ASSERT_TRUE(list.Add(reinterpret_cast<void*>(static_cast<intptr_t>(1025))));
    EXPECT_EQ(list.GetCapacity(), 2048);
    EXPECT_EQ(list.GetCount(), 1025);
    for (int i = 0; i < 1025; ++i) {
        ASSERT_EQ(list.GetByID(1001 + i, 1001),
                  reinterpret_cast<void*>(static_cast<intptr_t>(i + 1)));
    }

    KPointerList locked(2, 2, true);
    EXPECT_TRUE(locked.Add(&list));
    EXPECT_EQ(locked.GetByID(7, 7), &list);
    EXPECT_TRUE(locked.SetAt(0, nullptr));
    EXPECT_EQ(locked.GetByID(7, 7), nullptr);
    EXPECT_FALSE(locked.SetAt(1, &list));
}

TEST(KPointerListTest, FailedGrowthKeepsTheList) {
    // A growth step no allocator can satisfy.
    KPointerList list(1, 0x3FFFFFFF, false);
    int first = 1;
    ASSERT_TRUE(list.Add(&first));
    EXPECT_FALSE(list.Add(&first));
    EXPECT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.GetCapacity(), 1);
    EXPECT_EQ(list.GetByID(5, 5), &first);
}

TEST(KRuntimeTest, LookupsAnswerOnlyInsideTheRegisteredRange) {
    KRuntime* runtime = KRuntime::GetInstance();
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(runtime->hInstance, GetModuleHandleW(nullptr));
    KPointerList& timers = *runtime->timerRegistry;
    int base = timers.GetCount();
    int a = 0, b = 0;
    // Stand-in entries: the lookup only hands back what was registered.
    timers.Add(&a);
    timers.Add(&b);
    UINT firstId = 1001 + base;
    struct {
        UINT id;
        void* expected;
    } cases[] = {
        {firstId, &a}, {firstId + 1, &b},      {firstId + 2, nullptr}, {1000, nullptr},
        {0, nullptr},  {0x80000000u, nullptr}, {0xFFFFFFFFu, nullptr},
    };
    for (auto& c : cases) {
        EXPECT_EQ(static_cast<void*>(runtime->GetTimerByID(c.id)), c.expected) << c.id;
    }
    timers.SetAt(base, nullptr);
    timers.SetAt(base + 1, nullptr);
    for (UINT id : {30000u, 30001u, 30002u, 0u}) {
        EXPECT_EQ(runtime->GetMenuItemByID(id), nullptr);
    }
    EXPECT_EQ(KApplication().Run(nullptr, 0), 0);
}

// The framework's last shutdown, so it runs in a process of its own.
TEST(FreshProcess, NestedInitKeepsTheFrameworkUpUntilTheLastShutdown) {
    KRuntime* runtime = KRuntime::GetInstance();
    runtime->classCounter = 4242; // a mark that only this runtime object carries
    FrameworkInit(nullptr);       // nested: the instance handle stays
    EXPECT_EQ(KRuntime::GetInstance(), runtime);
    EXPECT_EQ(runtime->hInstance, GetModuleHandleW(nullptr));
    FrameworkShutdown();
    EXPECT_EQ(KRuntime::GetInstance()->classCounter, 4242) << "one shutdown of two must not end it";
    FrameworkShutdown(); // the test main's init is matched here
    frameworkTakenDown = true;
    KRuntime* fresh = KRuntime::GetInstance();
    EXPECT_EQ(fresh->classCounter, 0) << "the last shutdown destroys the runtime";
    EXPECT_EQ(fresh->hInstance, nullptr);
    KRuntime::DestroyInstance();
}

} // namespace
