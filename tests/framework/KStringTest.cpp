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
    EXPECT_STREQ(W(L"Code:" + KString(41) + KString("!")), L"Code:41!"); // as in an error box
}

// Out-of-range input is answered with a value: the empty string, 0 or 0xFFFF.
TEST(KStringTest, QueriesAnswerEveryInputWithAValue) {
    const struct {
        int start, end;
        const wchar_t* expected; // null: empty
    } subs[] = {{1, 3, L"ell"}, {0, 4, L"hello"}, {3, 4, L"lo"},   {2, 2, nullptr},
                {0, 5, nullptr}, {-1, 2, nullptr}, {3, 1, nullptr}, {4, 4, nullptr}};
    for (auto& c : subs) {
        EXPECT_STREQ(W(KString(L"hello").SubString(c.start, c.end)), c.expected) << c.start;
    }
    const std::pair<const wchar_t*, int> ints[] = {
        {L"", 0},    {L"  12abc", 12},          {L"-010", -10},
        {L"abc", 0}, {L"99999999999", INT_MAX}, {L"-99999999999", INT_MIN}};
    for (auto& [text, value] : ints) {
        EXPECT_EQ(KString(text).GetIntValue(), value) << value;
    }
    KString empty, blank(""), s(L"xyz");
    EXPECT_FALSE(empty.Equals(empty) || blank.Equals(blank));
    EXPECT_FALSE(KString(L"A").Equals(KString(L"a")) || s.Equals(KString(L"xyz!")));
    EXPECT_TRUE(s.Equals(KString(L"xyz")) && KString(L"\"\"").IsQuotedString());
    EXPECT_FALSE(KString(L"\"").IsQuotedString() || KString(L"\"a").IsQuotedString());
    EXPECT_TRUE(s.StartsWithChar('x') && s.StartsWithChar(L'x') && s.EndsWithChar('z') &&
                s.EndsWithChar(L'z'));
    EXPECT_FALSE(s.StartsWithChar('z') || s.StartsWithChar(L'z') || s.EndsWithChar('x') ||
                 s.EndsWithChar(L'x') || empty.StartsWithChar(L'\0') || blank.EndsWithChar('\0'));
    EXPECT_TRUE(s.GetCharAt(2) == L'z' && s.GetCharAt(3) == 0xFFFF && s.GetCharAt(-1) == 0xFFFF);
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
