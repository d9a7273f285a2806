// The player-wide values the controls draw with, the track buffers, the station
// addresses, and the program's compiled resources.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ApiHook.h"
#include "FlatTheme.h"
#include "PlayerResources.h"
#include "StationAddress.h"
#include "TrackBuffers.h"

namespace {

COLORREF BrushColor(HBRUSH brush) {
    LOGBRUSH info = {};
    GetObjectW(brush, sizeof(info), &info);
    return info.lbColor;
}

std::vector<HGDIOBJ> deletions;
decltype(&::DeleteObject) nextDeleteObject = nullptr;
BOOL WINAPI RecordDeleteObject(HGDIOBJ object) {
    deletions.push_back(object);
    return nextDeleteObject(object);
}

TEST(FlatThemeTest, CreationMakesTheBrushesAndColoursAndReleaseDeletesThemInOrder) {
    const FlatThemeValues inUse = FlatTheme; // the other tests' theme, put back at the end
    CreateFlatTheme();
    EXPECT_EQ(BrushColor(FlatTheme.backBrush), 0x000000u);
    EXPECT_EQ(BrushColor(FlatTheme.frameBrush), 0xFFFFFFu);
    EXPECT_EQ(BrushColor(FlatTheme.checkBrush), 0x209FF6u) << "red 246, green 159, blue 32";
    EXPECT_EQ(FlatTheme.textColor, 0xFFFFFFu);
    EXPECT_EQ(FlatTheme.linkColor, 0x00FF00u);
    const FlatThemeValues made = FlatTheme;

    nextDeleteObject = reinterpret_cast<decltype(&::DeleteObject)>(
        HookImport("gdi32.dll", "DeleteObject", reinterpret_cast<void*>(RecordDeleteObject)));
    ASSERT_NE(nextDeleteObject, nullptr);
    deletions.clear();
    ReleaseFlatTheme();
    HookImport("gdi32.dll", "DeleteObject", reinterpret_cast<void*>(nextDeleteObject));
    EXPECT_EQ(deletions, (std::vector<HGDIOBJ>{made.checkBrush, made.backBrush, made.frameBrush}));
    EXPECT_EQ(FlatTheme.backBrush, nullptr);
    FlatTheme = inUse;
}

// malloc that can be told to fail for the buffer size, and a log of the frees
// of buffer-sized blocks (fixed arrays: the hooks must not allocate).
int mallocCallsToFail = 0; // the n-th 1 MiB request fails
int bufferRequests = 0;
void* bufferBlocks[8];
int bufferBlockCount = 0;
void* freedLog[8];
int freedCount = 0;
decltype(&::malloc) realMalloc = nullptr;
decltype(&::free) realFree = nullptr;
void* __cdecl TestMalloc(size_t size) {
    if (size != trackBufferSize) {
        return realMalloc(size);
    }
    if (++bufferRequests == mallocCallsToFail) {
        return nullptr;
    }
    void* p = realMalloc(size);
    if (bufferBlockCount < 8) {
        bufferBlocks[bufferBlockCount++] = p;
    }
    return p;
}
void __cdecl TestFree(void* p) {
    for (int i = 0; i < bufferBlockCount; ++i) {
        if (p != nullptr && bufferBlocks[i] == p && freedCount < 8) {
            freedLog[freedCount++] = p;
            break; // the heap may hand out the same block twice
        }
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
        ASSERT_NE(realMalloc, nullptr);
        ASSERT_NE(realFree, nullptr);
        mallocCallsToFail = 0;
        bufferRequests = 0;
        bufferBlockCount = 0;
        freedCount = 0;
    }
    void TearDown() override {
        HookImport("msvcrt.dll", "malloc", reinterpret_cast<void*>(realMalloc));
        HookImport("msvcrt.dll", "free", reinterpret_cast<void*>(realFree));
    }
};

TEST_F(TrackBufferTest, TwoSeparateMebibyteBuffersFreedAThenB) {
    ASSERT_TRUE(AllocateTrackBuffers());
    EXPECT_EQ(bufferRequests, 2);
    ASSERT_NE(trackBufferA, nullptr);
    ASSERT_NE(trackBufferB, nullptr);
    EXPECT_TRUE(trackBufferB >= trackBufferA + trackBufferSize ||
                trackBufferA >= trackBufferB + trackBufferSize)
        << "no overlap";
    trackBufferA[0] = 1;
    trackBufferA[trackBufferSize - 1] = 2;
    trackBufferB[0] = 3;
    trackBufferB[trackBufferSize - 1] = 4;
    unsigned char* a = trackBufferA;
    unsigned char* b = trackBufferB;
    FreeTrackBuffers();
    ASSERT_EQ(freedCount, 2);
    EXPECT_EQ(freedLog[0], a);
    EXPECT_EQ(freedLog[1], b);
    EXPECT_EQ(trackBufferA, nullptr);
    EXPECT_EQ(trackBufferB, nullptr);
}

TEST_F(TrackBufferTest, AFailedBufferLeavesNeither) {
    for (int failing : {1, 2}) {
        SCOPED_TRACE(failing);
        mallocCallsToFail = failing;
        bufferRequests = 0;
        EXPECT_FALSE(AllocateTrackBuffers());
        EXPECT_EQ(trackBufferA, nullptr);
        EXPECT_EQ(trackBufferB, nullptr);
    }
    EXPECT_EQ(freedCount, bufferBlockCount) << "the buffer that was had is given back";
}

// In the death test's own process: the message box prints instead of waiting.
int WINAPI PrintMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    fprintf(stderr, "box owner=%p caption=%ls icon=%s text=%ls\n", static_cast<void*>(owner),
            caption, (type & MB_ICONERROR) == MB_ICONERROR ? "error" : "other", text);
    fflush(stderr);
    return IDOK;
}

TEST_F(TrackBufferTest, CreationStopsTheProgramWithAMessageWhenABufferIsMissing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            HookImport("user32.dll", "MessageBoxW", reinterpret_cast<void*>(PrintMessageBoxW));
            mallocCallsToFail = 2;
            CreatePlayerResources();
            fprintf(stderr, "went on\n");
        },
        ::testing::ExitedWithCode(1),
        "box owner=0+ caption=Error icon=error text=Sonvale cannot start: there is not enough "
        "memory for its two 1 MiB track buffers\\.");
}

TEST(StationAddressTest, BothAddressesAreOnOneHostUnderXm) {
    const std::wstring base = StationBaseUrl;
    const std::wstring request = StationRequestUrl;
    ASSERT_EQ(base.rfind(L"http://", 0), 0u);
    ASSERT_GT(base.size(), std::wstring(L"http:///xm/").size()) << "a host";
    EXPECT_EQ(base.substr(base.size() - 4), L"/xm/");
    EXPECT_EQ(base.find(L'/', 7), base.size() - 4) << "no other path";
    EXPECT_EQ(request, base + L"request.php");
}

TEST(ProgramResourcesTest, PictureIconManifestAndVersion) {
    HMODULE self = GetModuleHandleW(nullptr);
    HBITMAP picture = static_cast<HBITMAP>(
        LoadImageW(self, MAKEINTRESOURCEW(101), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(picture, nullptr);
    BITMAP info = {};
    GetObjectW(picture, sizeof(info), &info);
    EXPECT_EQ(info.bmWidth, 62);
    EXPECT_EQ(info.bmHeight, 92);
    EXPECT_EQ(info.bmBitsPixel, 24);
    DeleteObject(picture);

    // Icon group 102 holds 16, 32 and 48 pixel images.
    HRSRC group = FindResourceW(self, MAKEINTRESOURCEW(102), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    auto dir = static_cast<const BYTE*>(LockResource(LoadResource(self, group)));
    const WORD count = *reinterpret_cast<const WORD*>(dir + 4);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        sizes.push_back(dir[6 + 14 * i]); // GRPICONDIRENTRY.bWidth
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48}));

    HRSRC manifest = FindResourceW(self, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(manifest, nullptr);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(self, manifest))),
                           SizeofResource(self, manifest));
    EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
    EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);

    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    std::vector<BYTE> version(GetFileVersionInfoSizeW(path, &ignored));
    ASSERT_FALSE(version.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(version.size()), version.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    wchar_t* product = nullptr;
    ASSERT_TRUE(VerQueryValueW(version.data(), L"\\StringFileInfo\\040904B0\\ProductVersion",
                               reinterpret_cast<void**>(&product), &length));
    EXPECT_STREQ(product, L"2.0.0.1");
}

} // namespace
