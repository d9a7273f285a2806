// The player-wide values: without both track buffers the program stops at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "ApiHook.h"
#include "PlayerResources.h"
#include "TrackBuffers.h"

namespace {

// In the death test's own process: the second buffer is refused, and the message box
// prints instead of waiting.
decltype(&::malloc) realMalloc = nullptr;
int bufferRequests = 0;
void* __cdecl SecondBufferRefused(size_t size) {
    return size == trackBufferSize && ++bufferRequests == 2 ? nullptr : realMalloc(size);
}
int WINAPI PrintMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    fprintf(stderr, "box owner=%p caption=%ls icon=%s text=%ls\n", static_cast<void*>(owner),
            caption, (type & MB_ICONERROR) == MB_ICONERROR ? "error" : "other", text);
    return IDOK;
}

TEST(TrackBufferTest, CreationStopsTheProgramWithAMessageWhenABufferIsMissing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            realMalloc = HookImport("msvcrt.dll", "malloc", &SecondBufferRefused);
            HookImport("user32.dll", "MessageBoxW", reinterpret_cast<void*>(PrintMessageBoxW));
            CreatePlayerResources();
            fprintf(stderr, "went on\n");
        },
        ::testing::ExitedWithCode(1),
        "box owner=0+ caption=Error icon=error text=Sonvale cannot start: .* track buffers");
}

} // namespace
