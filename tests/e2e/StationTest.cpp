// The whole player against the station server: the real program under Wine, the
// real WinINet on loopback, the real engine writing sound to the ALSA file device.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FStaticTextBox.h"
#include "FlatPaint.h"
#include "FlatTheme.h"
#include "PlayerProcess.h"
#include "Screen.h"
#include "UiHelpers.h"

namespace {

const std::wstring kDownloadError =
    L"Cannot download file! \n\nMake sure that your firewall is not blocking this application!";
// 41: the engine's code for bytes that are no module.
const std::wstring kCorrupted =
    L"Corrupted file! Error Code:41\n\nMake sure that your firewall is not blocking this "
    L"application!";

// One run of the program against a freshly reset station. The program and any
// stalled response end with the case, whether or not a check failed.
class StationTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { CreateFlatTheme(); }
    static void TearDownTestSuite() { ReleaseFlatTheme(); }
    void TearDown() override { End(); }

    // The station set to play `playlist` (failing as `fault` says), then the program.
    bool Start(const std::string& playlist, const std::string& fault = "") {
        End();
        if (!StationControl("reset") || !StationControl("playlist?names=" + playlist) ||
            (!fault.empty() && !StationControl("fault?mode=" + fault))) {
            ADD_FAILURE() << "the station does not answer";
            return false;
        }
        logFrom = StationRequests(0).size();
        return Launch();
    }
    bool Launch() {
        player = std::make_unique<PlayerProcess>();
        window = player->Window();
        EXPECT_NE(window, nullptr) << "no visible main window";
        return window != nullptr;
    }
    void End() {
        player.reset();
        StationControl("release");
        Sleep(200); // a stall ends, and is logged, within 0.1 s of its release
    }
    // Closing as WM_CLOSE from outside does: the program ends with exit code 0.
    void CloseExpectingZero() {
        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(player->ExitCode(), 0);
    }
    HWND WaitForBox(DWORD ms) {
        HWND box = nullptr;
        PumpUntil([&] { return (box = player->ErrorBox()) != nullptr; }, ms);
        return box;
    }
    std::vector<std::string> Modules() {
        std::vector<std::string> paths;
        for (const StationRequest& r : StationRequests(logFrom, "module")) {
            paths.push_back(r.path);
        }
        return paths;
    }
    // Whether the title box on the screen shows `text`, drawn as the box draws it.
    bool TitleShows(const wchar_t* text) {
        HWND box = ChildAt(window, 125, 50);
        RECT r = {};
        GetWindowRect(box, &r);
        ScreenGrab shot(r.left, r.top, 200, 20);
        FStaticTextBox expected;
        expected.SetText(KString(text));
        HDC screen = GetDC(nullptr);
        bool same = box != nullptr;
        {
            OffscreenCanvas canvas(screen, 200, 20);
            expected.DrawFace(canvas.dc());
            for (int i = 0; i < 200 * 20 && same; ++i) {
                same = GetPixel(canvas.dc(), i % 200, i / 200) == shot.At(i % 200, i / 200);
            }
        }
        ReleaseDC(nullptr, screen);
        return same;
    }
    // Every wait notes the growth of the sound capture on `clock`.
    template <typename F> bool Until(F done, DWORD ms) {
        return PumpUntil(
            [&] {
                clock.Sample();
                return done();
            },
            ms);
    }
    bool WaitForTitle(const wchar_t* text, DWORD ms = 20000) {
        return Until([&] { return TitleShows(text); }, ms);
    }

    std::unique_ptr<PlayerProcess> player;
    HWND window = nullptr;
    size_t logFrom = 0;
    CaptureClock clock;
};

TEST_F(StationTest, TracksFollowOneAnotherWithTheirTitlesEachSoonAfterTheLastEnds) {
    ASSERT_TRUE(Start("first.mod,second.mod,untitled.mod,third.mod,fourth.mod"));
    // Each title in turn, the module without a name as "  ???".
    for (const wchar_t* title : {L"First Light", L"Second Wind", L"  ???", L"Third Stone"}) {
        EXPECT_TRUE(WaitForTitle(title, 30000)) << "waiting for a title";
    }
    // Both buffers are filled before the first track plays; then one refill a track.
    std::vector<StationRequest> requests;
    Until([&] { return (requests = StationRequests(logFrom)).size() >= 10; }, 5000);
    ASSERT_GE(requests.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
        const char* modules[] = {"first", "second", "untitled", "third", "fourth"};
        EXPECT_EQ(requests[i].path, i % 2 ? "/xm/" + std::string(modules[i / 2]) + ".mod"
                                          : "/xm/request.php");
        EXPECT_EQ(requests[i].agent, "SONVALE_V2");
    }
    // Four tracks heard so far, the next each within one poll (2 s) of the last one's
    // end, plus the moment a worker takes to start and load it.
    Until([] { return false; }, 1000);
    std::vector<std::pair<size_t, size_t>> heard = AudibleStretches();
    ASSERT_GE(heard.size(), 4u);
    for (size_t i = 1; i < heard.size(); ++i) {
        EXPECT_LT(clock.TickOfSample(heard[i].first) - clock.TickOfSample(heard[i - 1].second),
                  2600u)
            << "silence before track " << i + 1;
    }
    EXPECT_EQ(player->ErrorBox(), nullptr);
    CloseExpectingZero();
}

// What each answer of the station leads to: the box (none, the download error, or
// the engine's verdict on bytes that are no module), the title box, the module
// asked for, and whether the player halts.
TEST_F(StationTest, EachAnswerOfTheStationLeadsToWhatTheUserSees) {
    struct Case {
        const char* playlist; // "": first.mod, second.mod
        const char* fault;
        const std::wstring* box; // its whole text, or none
        const wchar_t* title;    // shown afterwards
        const char* module;      // how the first module request's path goes on after /xm/
        int halted;              // module requests once it has halted, or -1: it plays on
    } cases[] = {
        // Nothing is trimmed: a line break goes into the URL, which Wine's WinINet
        // sends without it. A zero byte ends the answer.
        {"", "answer-lf", nullptr, L"First Light", "first.mod", -1},
        {"", "answer-crlf", nullptr, L"First Light", "first.mod", -1},
        {"", "answer-nul", nullptr, L"First Light", "first.mod", -1},
        // An error page is taken as the name, and the page that comes back as the module.
        {"", "answer-404", &kCorrupted, L"???", "<html><head><title>404%20Not%20Found", 2},
        {"", "answer-empty", &kDownloadError, L"buffering...", "", 0},
        {"", "answer-1mib", &kDownloadError, L"buffering...", "", 0}, // no room for its end
        // A failed first buffer: the second is never asked for.
        {"", "module-empty", &kDownloadError, L"buffering...", "first.mod", 1},
        {"", "module-oversize", &kDownloadError, L"buffering...", "first.mod", 1},
        {"", "module-1mib", nullptr, L"First Light", "first.mod", -1},
        {"", "module-404", &kCorrupted, L"???", "first.mod", 2},
        {"broken.mod,first.mod", "", &kCorrupted, L"???", "broken.mod", 2},
        // A later track the engine refuses is skipped without a word.
        {"first.mod,broken.mod,second.mod", "", nullptr, L"Second Wind", "first.mod", -1},
        // A reset after 8 KiB: the bytes that arrived are the module.
        {"long.mod,second.mod", "module-reset&at=8192&count=1", nullptr, L"Long Road", "long.mod",
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.playlist) + " " + c.fault);
        ASSERT_TRUE(Start(*c.playlist ? c.playlist : "first.mod,second.mod", c.fault));
        if (c.box != nullptr) {
            HWND box = WaitForBox(20000);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(BoxText(box), *c.box);
            EXPECT_EQ(GetWindow(box, GW_OWNER), window);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
        EXPECT_TRUE(WaitForTitle(c.title));
        EXPECT_EQ(player->ErrorBox(), nullptr);
        if (c.halted >= 0) {
            PumpMessages(2500); // longer than a poll
            EXPECT_EQ(Modules().size(), static_cast<size_t>(c.halted));
            EXPECT_TRUE(TitleShows(c.title));
        }
        std::vector<std::string> modules = Modules();
        EXPECT_EQ(modules.empty() ? "" : modules[0].substr(4, strlen(c.module)), c.module);
        CloseExpectingZero();
    }
}

TEST_F(StationTest, FailedRefillLetsTheTrackEndThenStaysSilent) {
    // The third module request (the refill after the first switch) comes back empty.
    ASSERT_TRUE(Start("first.mod,second.mod,third.mod", "module-empty&after=2"));
    HWND box = WaitForBox(30000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(Modules().size(), 3u);
    size_t atBox = CapturedBytes();
    PumpMessages(300);
    EXPECT_GT(CapturedLevel(atBox), 200.0) << "the second track plays on meanwhile";
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitForTitle(L"buffering...", 5000));
    // It plays to its end, and nothing follows it.
    PumpMessages(3000);
    size_t end = CapturedBytes();
    PumpMessages(500);
    EXPECT_LT(CapturedLevel(end), 1.0);
    EXPECT_EQ(Modules().size(), 3u);
    EXPECT_EQ(player->ErrorBox(), nullptr);
    EXPECT_TRUE(TitleShows(L"buffering..."));
    CloseExpectingZero();
}

// A drag as a user makes it: press on the thumb, move, release, with the real pointer.
void DragThumb(HWND trackBar, int fromX, int toX) {
    RECT r;
    GetWindowRect(trackBar, &r);
    DWORD_PTR ignored;
    SetCursorPos(r.left + fromX, r.top + 10);
    SendMessageTimeoutW(trackBar, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(fromX, 10), 0, 5000,
                        &ignored);
    SetCursorPos(r.left + toX, r.top + 10);
    SendMessageTimeoutW(trackBar, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(toX, 10), 0, 5000, &ignored);
    SendMessageTimeoutW(trackBar, WM_LBUTTONUP, 0, MAKELPARAM(toX, 10), 0, 5000, &ignored);
}

// The level of what is heard over about `ms` from now, once a change has reached the device.
double LevelOver(DWORD ms) {
    PumpMessages(150);
    size_t from = CapturedBytes();
    PumpMessages(ms);
    return CapturedLevel(from);
}

TEST_F(StationTest, VolumeAndAgcChangedDuringPlayChangeWhatIsHeard) {
    ASSERT_TRUE(Start("quiet.mod,quiet2.mod"));
    ASSERT_TRUE(WaitForTitle(L"Quiet One"));
    HWND volume = ChildAt(window, 125, 80);
    HWND agc = ChildAt(window, 285, 111);
    ASSERT_NE(volume, nullptr);
    ASSERT_NE(agc, nullptr);
    PumpMessages(300); // past the first blocks, where the gain settles
    const double atHalf = LevelOver(500);
    ASSERT_GT(atHalf, 100.0);
    // Clearing "AGC" stops the gain stage: a quiet module gets quieter; setting it resumes.
    Click(agc);
    const double withoutAgc = LevelOver(500);
    EXPECT_LT(withoutAgc, atHalf / 1.5);
    Click(agc);
    const double agcAgain = LevelOver(500);
    EXPECT_GT(agcAgain, withoutAgc * 1.5);
    // Volume 50 -> about 25: the thumb from left 90 to left 47.
    DragThumb(volume, 95, 52);
    EXPECT_NEAR(LevelOver(500) / agcAgain, 0.48, 0.12);
    // The next track starts at the volume the user left.
    ASSERT_TRUE(WaitForTitle(L"Quiet Two", 30000));
    PumpMessages(300);
    EXPECT_NEAR(LevelOver(500) / agcAgain, 0.48, 0.12);
    DragThumb(volume, 52, 1); // all the way left: silence
    EXPECT_LT(LevelOver(400), 2.0);
    CloseExpectingZero();
}

// Closing never hangs and never shows a box, whatever the worker is doing.
TEST_F(StationTest, CloseEndsTheProgramPromptlyInEveryState) {
    struct Case {
        const char* playlist;
        const char* fault;
        bool boxOpen; // closed with the worker's box open, or during a download
    } cases[] = {
        {"first.mod,second.mod", "module-stall", false},
        {"first.mod,second.mod", "answer-silent", false},
        {"first.mod,second.mod", "answer-empty", true},
        {"broken.mod,first.mod", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.playlist) + " " + c.fault);
        ASSERT_TRUE(Start(c.playlist, c.fault));
        if (c.boxOpen) {
            ASSERT_NE(WaitForBox(20000), nullptr);
        } else {
            ASSERT_TRUE(WaitForTitle(L"buffering...", 10000));
            PumpMessages(500);
        }
        DWORD start = GetTickCount();
        PostMessageW(window, WM_CLOSE, 0, 0);
        bool boxAfterClose = false;
        long code = -1;
        PumpUntil(
            [&] {
                code = player->ExitCode(0);
                boxAfterClose |= !c.boxOpen && player->ErrorBox() != nullptr;
                return code != -1;
            },
            10000);
        EXPECT_EQ(code, 0);
        EXPECT_LT(GetTickCount() - start, 3000u) << "closing waited for the worker's read";
        EXPECT_FALSE(boxAfterClose);
    }
}

// Nobody listens on the station's port (this case runs without the server).
using StationDown = StationTest;
TEST_F(StationDown, StartShowsTheDownloadErrorAndThePlayerStillCloses) {
    ASSERT_TRUE(Launch());
    HWND box = WaitForBox(20000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(BoxText(box), kDownloadError);
    EXPECT_EQ(GetWindow(box, GW_OWNER), window);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitForTitle(L"buffering...", 5000));
    CloseExpectingZero();
}

} // namespace
