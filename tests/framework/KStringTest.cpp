#include "KString.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <thread>
#include <vector>

namespace {

const wchar_t* W(const KString& s) {
    return static_cast<const wchar_t*>(s);
}
const char* A(const KString& s) {
    return static_cast<const char*>(s);
}

// The block's reference count, read through the object's layout (the virtual table
// pointer, then the block pointer): the only way to see a count drift.
static_assert(sizeof(KString) == 2 * sizeof(void*), "KString is a vptr and a block pointer");
LONG RefCount(const KString& s) {
    auto block =
        *reinterpret_cast<KStringData* const*>(reinterpret_cast<const char*>(&s) + sizeof(void*));
    return block != nullptr ? block->refCount : 0;
}

TEST(KStringTest, ConstructionGivesTheRightForms) {
    // No block: the wide accessor yields null.
    EXPECT_EQ(W(KString()), nullptr);
    EXPECT_EQ(W(KString(L"")), nullptr);
    EXPECT_EQ(W(KString(static_cast<const wchar_t*>(nullptr))), nullptr);
    EXPECT_EQ(W(KString(static_cast<const char*>(nullptr))), nullptr);

    // An empty narrow text gives a block of length 0: empty, but not null.
    KString emptyNarrow("");
    ASSERT_NE(W(emptyNarrow), nullptr);
    EXPECT_EQ(W(emptyNarrow)[0], L'\0');
    EXPECT_TRUE(emptyNarrow.IsEmpty());
    EXPECT_EQ(emptyNarrow.GetLength(), 0);

    struct {
        KString s;
        const wchar_t* text;
    } cases[] = {
        {KString(L"hello"), L"hello"},
        {KString("caf\xe9"), L"caf\u00e9"},
        {KString(-42), L"-42"},
        {KString(0), L"0"},
        {KString(INT_MIN), L"-2147483648"},
        {KString(INT_MAX), L"2147483647"},
    };
    for (auto& c : cases) {
        ASSERT_NE(W(c.s), nullptr);
        EXPECT_STREQ(W(c.s), c.text);
        EXPECT_EQ(c.s.GetLength(), static_cast<int>(wcslen(c.text)));
    }
}

TEST(KStringTest, CopiesShareOneBlockUntilTheLastIsGone) {
    KString* a = new KString(L"shared");
    EXPECT_EQ(RefCount(*a), 1);
    KString b(*a);
    EXPECT_EQ(RefCount(*a), 2);
    KString c;
    c = b;
    EXPECT_EQ(RefCount(*a), 3);
    EXPECT_EQ(W(*a), W(b));
    EXPECT_EQ(W(b), W(c));
    const char* narrow = A(*a);
    ASSERT_NE(narrow, nullptr);
    EXPECT_EQ(A(c), narrow) << "the narrow copy lives in the shared block";
    delete a;
    EXPECT_EQ(RefCount(b), 2);
    EXPECT_STREQ(W(b), L"shared");
    EXPECT_STREQ(A(c), "shared");

    // Self-assignment, also of the only reference, keeps the text.
    KString only(L"self");
    const wchar_t* before = W(only);
    only = only;
    EXPECT_EQ(W(only), before);
    EXPECT_EQ(RefCount(only), 1);
    EXPECT_STREQ(W(only), L"self");
    // Assigning a string its own wide text is safe too.
    only = W(only);
    EXPECT_STREQ(W(only), L"self");
    only = static_cast<const wchar_t*>(nullptr);
    EXPECT_EQ(W(only), nullptr);
}

TEST(KStringTest, Concatenation) {
    KString ab(L"ab");
    KString cd(L"cd");
    KString empty;

    KString abEmpty = ab + empty;
    EXPECT_EQ(W(abEmpty), W(ab)) << "appending nothing shares the left block";

    KString emptyCd = empty + cd;
    EXPECT_STREQ(W(emptyCd), L"cd");
    EXPECT_NE(W(emptyCd), W(cd)) << "the result never shares the right block";

    KString both = ab + cd;
    EXPECT_STREQ(W(both), L"abcd");
    EXPECT_EQ(both.GetLength(), 4);

    KString chain = L"http://" + ab + cd;
    EXPECT_STREQ(W(chain), L"http://abcd");
    KString narrowEmpty("");
    EXPECT_EQ(W(ab + narrowEmpty), W(ab));
    EXPECT_EQ(W(empty + empty), nullptr);
}

TEST(KStringTest, SubStringBounds) {
    KString hello(L"hello");
    struct {
        int start, end;
        const wchar_t* expected; // null: empty
    } cases[] = {
        {1, 3, L"ell"},   {0, 4, L"hello"}, {2, 2, nullptr}, {0, 5, nullptr},
        {-1, 2, nullptr}, {3, 1, nullptr},  {4, 4, nullptr}, {3, 4, L"lo"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.start << ".." << c.end);
        KString sub = hello.SubString(c.start, c.end);
        if (c.expected == nullptr) {
            EXPECT_TRUE(sub.IsEmpty());
        } else {
            EXPECT_STREQ(W(sub), c.expected);
        }
    }
    EXPECT_TRUE(KString().SubString(0, 1).IsEmpty());
}

TEST(KStringTest, ComparisonsAndCharacterTests) {
    KString empty;
    KString narrowEmpty("");
    EXPECT_FALSE(empty.Equals(empty));
    EXPECT_FALSE(narrowEmpty.Equals(narrowEmpty));
    EXPECT_FALSE(KString(L"A").Equals(KString(L"a")));
    EXPECT_TRUE(KString(L"abc").Equals(KString(L"abc")));
    EXPECT_FALSE(KString(L"abc").Equals(KString(L"abcd")));
    EXPECT_FALSE(KString(L"abc").Equals(empty));

    KString word(L"xyz");
    EXPECT_TRUE(word.StartsWithChar('x'));
    EXPECT_TRUE(word.StartsWithChar(L'x'));
    EXPECT_TRUE(word.EndsWithChar('z'));
    EXPECT_TRUE(word.EndsWithChar(L'z'));
    EXPECT_FALSE(word.StartsWithChar('z'));
    EXPECT_FALSE(word.EndsWithChar(L'x'));
    EXPECT_FALSE(empty.StartsWithChar(L'x'));
    EXPECT_FALSE(narrowEmpty.EndsWithChar('\0'));

    EXPECT_TRUE(KString(L"\"\"").IsQuotedString());
    EXPECT_TRUE(KString(L"\"quoted\"").IsQuotedString());
    EXPECT_FALSE(KString(L"\"").IsQuotedString());
    EXPECT_FALSE(KString(L"\"open").IsQuotedString());

    EXPECT_EQ(word.GetCharAt(-1), static_cast<wchar_t>(0xFFFF));
    EXPECT_EQ(word.GetCharAt(3), static_cast<wchar_t>(0xFFFF));
    EXPECT_EQ(word.GetCharAt(1), L'y');
    EXPECT_EQ(empty.GetCharAt(0), static_cast<wchar_t>(0xFFFF));
}

TEST(KStringTest, IntValueReadsLikeWcstol) {
    struct {
        const wchar_t* text;
        int value;
    } cases[] = {
        {L"", 0},
        {L"  12abc", 12},
        {L"-7", -7},
        {L"abc", 0},
        {L"99999999999", INT_MAX},
        {L"-99999999999", INT_MIN},
        {L"+15", 15},
        {L"\t 3", 3},
    };
    for (auto& c : cases) {
        EXPECT_EQ(KString(c.text).GetIntValue(), c.value)
            << "text '" << (c.text[0] ? "x" : "") << "'";
    }
}

// Threads copy, assign and drop strings sharing a few blocks, and ask for the narrow
// copy all at once. A non-atomic count frees a block while it is in use or leaks it
// (the texts read back wrong or the heap breaks); an unlocked narrow copy gives the
// threads different pointers.
TEST(KStringTest, SharedBlocksSurviveManyThreads) {
    const int threads = 8;
    const int rounds = 20000;
    for (int trial = 0; trial < 20; ++trial) {
        KString seeds[3] = {KString(L"alpha"), KString(L"beta"), KString(L"gamma")};
        std::vector<const char*> narrow(threads);
        std::vector<std::thread> pool;
        volatile bool go = false;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                while (!go) {
                }
                narrow[t] = A(seeds[0]);
                KString local[4];
                for (int i = 0; i < rounds; ++i) {
                    local[i % 4] = seeds[(i + t) % 3];
                    KString copy(local[(i + 1) % 4]);
                    if (!copy.IsEmpty() && copy.GetCharAt(0) != L'a' && copy.GetCharAt(0) != L'b' &&
                        copy.GetCharAt(0) != L'g') {
                        ADD_FAILURE() << "a shared block changed under a thread";
                        return;
                    }
                }
            });
        }
        go = true;
        for (auto& th : pool) {
            th.join();
        }
        for (int t = 1; t < threads; ++t) {
            ASSERT_EQ(narrow[t], narrow[0]) << "the narrow copy was made more than once";
        }
        EXPECT_STREQ(narrow[0], "alpha");
        EXPECT_STREQ(W(seeds[1]), L"beta");
        for (auto& seed : seeds) {
            ASSERT_EQ(RefCount(seed), 1) << "the count drifted under contention";
        }
    }
}

} // namespace
