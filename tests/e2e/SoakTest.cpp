// Many tracks in a row, with the main window built in this process so that its GDI
// objects, kernel handles and memory can be counted as it goes.
#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>
#include <wininet.h>

#include <string>

#include "KMessageLoop.h"
#include "MainWindow.h"
#include "ObjectCounter.h"
#include "PlayerResources.h"
#include "UiHelpers.h"

namespace {

bool StationCommand(const std::wstring& command) {
    std::wstring url = L"http://127.0.0.1:";
    const char* port = getenv("STATION_PORT");
    for (const char* p = port != nullptr ? port : ""; *p; ++p) {
        url += static_cast<wchar_t>(*p);
    }
    url += L"/control/" + command;
    HINTERNET session = InternetOpenW(L"soak-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    bool ok = request != nullptr;
    if (request != nullptr) {
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return ok;
}

// Counts the tracks as they start, from the title box (every track has a title),
// and the polls that found the track still playing.
class SoakWindow : public MainWindow {
  public:
    KString Title() { return titleBox.GetText(); }
    void OnTimer(KTimer* sender) override {
        // Each soak track lasts a second of audio, rendered far faster than the
        // 2 s poll: a poll that finds it still playing is a switch missed.
        if (BASS_ChannelIsActive(musicHandle) != BASS_ACTIVE_STOPPED) {
            ++pollsWhilePlaying;
        }
        MainWindow::OnTimer(sender);
    }
    int pollsWhilePlaying = 0;
};

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
    return counters.PrivateUsage;
}

TEST(SoakTest, FiftyTracksInARowLeaveNothingBehind) {
    std::wstring names = L"playlist?names=";
    for (int i = 1; i <= 60; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"%ssoak%02d.mod", i > 1 ? L"," : L"", i);
        names += name;
    }
    ASSERT_TRUE(StationCommand(L"reset"));
    ASSERT_TRUE(StationCommand(names));

    CreatePlayerResources();
    {
        SoakWindow window;
        window.SetVisible(true);
        int tracks = 0;
        KString last;
        int objectsAt10 = 0, handlesAt10 = 0;
        SIZE_T memoryAt10 = 0;
        bool done = PumpUntil(
            [&] {
                KString now = window.Title();
                if (now.GetLength() > 5 && now.StartsWithChar(L'S') && !now.Equals(last)) {
                    last = now;
                    ++tracks;
                    if (tracks == 10) {
                        objectsAt10 = ObjectCounter::Live();
                        handlesAt10 = CountKernelHandles();
                        memoryAt10 = PrivateBytes();
                    }
                }
                return tracks >= 52;
            },
            52 * 3000);
        ASSERT_TRUE(done) << "only " << tracks << " tracks";
        EXPECT_EQ(window.pollsWhilePlaying, 0) << "a switch was missed";
        EXPECT_EQ(ObjectCounter::Live(), objectsAt10);
        EXPECT_LE(CountKernelHandles(), handlesAt10 + 3);
        EXPECT_LT(PrivateBytes(), memoryAt10 + 4 * 1024 * 1024) << "memory grows with the tracks";
        PostMessageW(window.GetHWND(), WM_CLOSE, 0, 0);
        RunMessageLoop();
    }
    ReleasePlayerResources();
}

} // namespace
