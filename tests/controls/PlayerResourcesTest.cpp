// The player-wide values: the flat theme's brushes and the track buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "ApiHook.h"
#include "FlatTheme.h"
#include "ObjectCounter.h"
#include "PlayerResources.h"
#include "TrackBuffers.h"

namespace {

// The colours are seen in every face; here, that release gives the brushes back.
TEST(FlatThemeTest, ReleaseDeletesTheBrushesThatCreationMade) {
    const FlatThemeValues inUse = FlatTheme; // the other tests' theme, put back at the end
    const int liveBefore = ObjectCounter::Live();
    CreateFlatTheme();
    EXPECT_EQ(ObjectCounter::Live(), liveBefore + 3);
    ReleaseFlatTheme();
    EXPECT_EQ(ObjectCounter::Live(), liveBefore);
    FlatTheme = inUse;
}

// malloc that fails the n-th request for a buffer's size, and a log of the
// buffers handed out and freed (fixed arrays: the hooks must not allocate).
int bufferRequests = 0, requestToFail = 0, givenCount = 0, freedCount = 0;
void* given[8];
void* freed[8];
decltype(&::malloc) realMalloc = nullptr;
decltype(&::free) realFree = nullptr;
void* __cdecl TestMalloc(size_t size) {
    if (size != trackBufferSize) {
        return realMalloc(size);
    }
    void* p = ++bufferRequests == requestToFail ? nullptr : realMalloc(size);
    if (p != nullptr && givenCount < 8) {
        given[givenCount++] = p;
    }
    return p;
}
void __cdecl TestFree(void* p) {
    if (p != nullptr && std::count(given, given + givenCount, p) > 0 && freedCount < 8) {
        freed[freedCount++] = p;
    }
    realFree(p);
}

class TrackBufferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        realMalloc = reinterpret_cast<decltype(&::malloc)>(
            HookImport("msvcrt.dll", "malloc", reinterpret_cast<void*>(TestMalloc)));
        realFree = reinterpret_cast<decltype(&::free)>(
            HookImport("msvcrt.dll", "free", reinterpret_cast<void*>(TestFree)));
        ASSERT_TRUE(realMalloc != nullptr && realFree != nullptr);
    }
    void TearDown() override {
        HookImport("msvcrt.dll", "malloc", reinterpret_cast<void*>(realMalloc));
        HookImport("msvcrt.dll", "free", reinterpret_cast<void*>(realFree));
    }
};

// Rows: which request fails (0: none); only then is the pair had.
TEST_F(TrackBufferTest, TwoSeparateBuffersOrNeitherAndEveryBufferGivenBack) {
    for (int failing : {0, 1, 2}) {
        SCOPED_TRACE(failing);
        bufferRequests = givenCount = freedCount = 0;
        requestToFail = failing;
        ASSERT_EQ(AllocateTrackBuffers(), failing == 0);
        if (failing == 0) {
            ASSERT_EQ(givenCount, 2);
            EXPECT_TRUE(trackBufferB >= trackBufferA + trackBufferSize ||
                        trackBufferA >= trackBufferB + trackBufferSize)
                << "no overlap";
            FreeTrackBuffers();
        }
        EXPECT_TRUE(trackBufferA == nullptr && trackBufferB == nullptr);
        ASSERT_EQ(freedCount, givenCount);
        EXPECT_TRUE(std::is_permutation(freed, freed + freedCount, given));
    }
}

// In the death test's own process: the message box prints instead of waiting.
int WINAPI PrintMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    fprintf(stderr, "box owner=%p caption=%ls icon=%s text=%ls\n", static_cast<void*>(owner),
            caption, (type & MB_ICONERROR) == MB_ICONERROR ? "error" : "other", text);
    return IDOK;
}

TEST_F(TrackBufferTest, CreationStopsTheProgramWithAMessageWhenABufferIsMissing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            HookImport("user32.dll", "MessageBoxW", reinterpret_cast<void*>(PrintMessageBoxW));
            requestToFail = 2;
            CreatePlayerResources();
            fprintf(stderr, "went on\n");
        },
        ::testing::ExitedWithCode(1),
        "box owner=0+ caption=Error icon=error text=Sonvale cannot start: .* track buffers");
}

} // namespace
