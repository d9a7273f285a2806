#include "KString.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

static const wchar_t* W(const KString& s) {
    return s;
}

// The block's reference count, read through the object's layout (the virtual table
// pointer, then the block pointer): the only way to see a count drift.
static LONG RefCount(const KString& s) {
    return reinterpret_cast<KStringData* const*>(&s)[1]->refCount;
}

TEST(KStringTest, ConstructionGivesTheRightForms) {
    struct {
        KString s;
        const wchar_t* text; // null: no block at all
    } cases[] = {{KString(), nullptr}, {KString(L""), nullptr}, {KString(W(KString())), nullptr},
                 {KString(static_cast<const char*>(KString())), nullptr}, {KString(""), L""},
                 {KString("caf\xe9"), L"caf\u00e9"}, {KString(-42), L"-42"}, {KString(0), L"0"},
                 {KString(INT_MIN), L"-2147483648"}};
    for (auto& c : cases) {
        EXPECT_STREQ(W(c.s), c.text);
        EXPECT_EQ(c.s.GetLength(), c.text != nullptr ? static_cast<int>(wcslen(c.text)) : 0);
        EXPECT_EQ(c.s.IsEmpty(), c.text == nullptr || c.text[0] == L'\0');
    }
}

TEST(KStringTest, BlocksAreSharedUntilTheLastHolderIsGone) {
    auto a = std::make_unique<KString>(L"shared");
    KString b(*a), c, only(L"self");
    c = b;
    const char* narrow = *a;
    EXPECT_TRUE(RefCount(b) == 3 && static_cast<const char*>(c) == narrow) << "one narrow copy";
    a.reset();
    EXPECT_EQ(RefCount(b), 2);
    EXPECT_STREQ(static_cast<const char*>(c), "shared");
    only = only; // also the only reference
    EXPECT_EQ(RefCount(only), 1);
    only = W(only); // its own wide text
    EXPECT_STREQ(W(only), L"self");

    // Concatenation shares the left block when nothing is appended, never the right one.
    KString ab(L"ab"), cd(L"cd"), empty, narrowEmpty("");
    EXPECT_TRUE(W(ab + empty) == W(ab) && W(ab + narrowEmpty) == W(ab));
    KString emptyCd = empty + cd, chain = L"http://" + ab + cd;
    EXPECT_TRUE(W(emptyCd) != W(cd) && emptyCd.Equals(cd));
    EXPECT_TRUE(chain.Equals(KString(L"http://abcd")) && chain.GetLength() == 11);
}

// Threads copy, assign and drop strings sharing a few blocks, and ask for the narrow
// copy all at once. A non-atomic count frees a block in use or leaks it; an unlocked
// narrow copy gives the threads different pointers.
TEST(KStringTest, SharedBlocksSurviveManyThreads) {
    for (int trial = 0; trial < 20; ++trial) {
        KString seeds[3] = {KString(L"alpha"), KString(L"beta"), KString(L"gamma")};
        std::vector<const char*> narrow(8);
        std::vector<std::thread> pool;
        std::atomic<int> ready{0}, changed{0};
        for (int t = 0; t < 8; ++t) {
            pool.emplace_back([&, t] {
                for (++ready; ready < 8;) { // all at once
                }
                narrow[t] = seeds[0];
                KString local[4];
                for (int i = 0; i < 20000; ++i) {
                    local[i % 4] = seeds[(i + t) % 3];
                    KString copy(local[(i + 1) % 4]);
                    changed += !copy.IsEmpty() && wcschr(L"abg", copy.GetCharAt(0)) == nullptr;
                }
            });
        }
        for (auto& th : pool) {
            th.join();
        }
        EXPECT_EQ(changed, 0) << "a shared block changed under a thread";
        EXPECT_EQ(std::count(narrow.begin(), narrow.end(), narrow[0]), 8) << "one narrow copy";
        EXPECT_STREQ(narrow[0], "alpha");
        ASSERT_TRUE(RefCount(seeds[0]) == 1 && RefCount(seeds[1]) == 1 && RefCount(seeds[2]) == 1)
            << "the count drifted under contention";
    }
}

