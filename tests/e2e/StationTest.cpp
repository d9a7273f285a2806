// The whole player against the station server: the program a user gets under Wine,
// the real WinINet on loopback, the real engine playing to the run's sound server.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FStaticTextBox.h"
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

    // The station set to play `playlist` (failing as `fault` says, with the https
    // certificate named), then the program.
    bool Start(const std::string& playlist, const std::string& fault = "",
               const std::string& certificate = "") {
        End();
        if (!StationControl("reset") || !StationControl("playlist?names=" + playlist) ||
            (!fault.empty() && !StationControl("fault?mode=" + fault)) ||
            (!certificate.empty() && !StationControl("cert?name=" + certificate))) {
            ADD_FAILURE() << "the station does not answer";
            return false;
        }
        logFrom = StationRequests(0).size();
        return Launch();
    }
    bool Launch() {
        player = std::make_unique<PlayerProcess>(exe);
        window = player->Window();
        EXPECT_NE(window, nullptr) << "no visible main window";
        return window != nullptr;
    }
    void End() {
        player.reset();
        StationControl("release");
        Sleep(200); // a stall ends, and is logged, within 0.1 s of its release
    }
    // Closed, the program ends with 0, promptly whatever it was doing.
    void CloseExpectingZero() {
        const DWORD start = GetTickCount();
        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(player->ExitCode(), 0);
        EXPECT_LT(GetTickCount() - start, 3000u) << "closing waited";
    }
    HWND WaitForBox(DWORD ms) {
        HWND box = nullptr;
        PumpUntil([&] { return (box = player->ErrorBox()) != nullptr; }, ms);
        return box;
    }
    // Whether the title box on the screen shows `text`, drawn as the box draws it.
    bool TitleShows(const wchar_t* text) {
        HWND box = ChildAt(window, 125, 50);
        RECT r = {};
        GetWindowRect(box, &r);
        ScreenGrab shot(r.left, r.top, 200, 20);
        FStaticTextBox expected;
        expected.SetText(KString(text));
        PixelCanvas drawn(200, 20);
        expected.DrawFace(drawn.dc());
        return box != nullptr && shot.SameAs(drawn);
    }
    bool WaitForTitle(const wchar_t* text, DWORD ms = 20000) {
        return PumpUntil([&] { return TitleShows(text); }, ms);
    }

    const char* exe = nullptr; // the player to start, if not the usual one
    std::unique_ptr<PlayerProcess> player;
    HWND window = nullptr;
    size_t logFrom = 0;
};

TEST_F(StationTest, TracksFollowOneAnotherWithTheirTitlesAndAreHeard) {
    ASSERT_TRUE(Start("first.mod,second.mod,untitled.mod,third.mod,fourth.mod"));
    // Each title in turn, the module without a name as "  ???".
    for (const wchar_t* title : {L"First Light", L"Second Wind", L"  ???", L"Third Stone"}) {
        EXPECT_TRUE(WaitForTitle(title, 30000)) << "waiting for a title";
    }
    // Both buffers are filled before the first track plays; then one refill a track.
    std::vector<StationRequest> requests;
    PumpUntil([&] { return (requests = StationRequests(logFrom)).size() >= 10; }, 5000);
    ASSERT_GE(requests.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
        const char* modules[] = {"first", "second", "untitled", "third", "fourth"};
        EXPECT_EQ(requests[i].path,
                  i % 2 ? "/xm/" + std::string(modules[i / 2]) + ".mod" : "/xm/request.php");
        EXPECT_EQ(requests[i].agent, "SONVALE_V2");
    }
    // The third track is heard within the device's latency; the fourth cannot start
    // before the third's 3 s have played.
    PumpUntil([] { return AudibleStretches().size() >= 4; }, 1500);
    EXPECT_EQ(AudibleStretches().size(), 4u) << "tracks heard, one after another";
    EXPECT_EQ(player->ErrorBox(), nullptr);
    CloseExpectingZero();
}

// What each answer of the station leads to: the box (none, the download error, or
// the engine's verdict on bytes that are no module), the title box, the module
// asked for, and, once the player halts, what was asked for and heard in all.
TEST_F(StationTest, EachAnswerOfTheStationLeadsToWhatTheUserSeesAndHears) {
    struct Case {
        const char* playlist; // "": first.mod, second.mod
        const char* fault;
        const std::wstring* box; // its whole text, or none
        const wchar_t* title;    // shown afterwards
        const char* module;      // how the first module request's path goes on after /xm/
        int halted;              // module requests once it has halted, or -1: it plays on
        double seconds;          // of sound heard once it has halted
    } cases[] = {
        // The line break that ends an answer is cut before the name goes into the
        // address (which would carry it, escaped). A zero byte ends the answer.
        {"", "answer-crlf", nullptr, L"First Light", "first.mod", -1, 0},
        {"", "answer-nul", nullptr, L"First Light", "first.mod", -1, 0},
        // The answer comes from the station's own address only ("localhost" is
        // another name); a module may come from a mirror.
        {"", "answer-redirect&host=localhost", &kDownloadError, L"buffering...", "", 0, 0},
        {"", "module-redirect&host=localhost", nullptr, L"First Light", "first.mod", -1, 0},
        // An error page is taken as the name, and the page that comes back as the module.
        {"", "answer-404", &kCorrupted, L"???", "<html><head><title>404%20Not%20Found", 2, 0},
        {"", "answer-empty", &kDownloadError, L"buffering...", "", 0, 0},
        {"", "answer-1mib", &kDownloadError, L"buffering...", "", 0, 0}, // no room for its end
        {"", "answer-reset&at=3", &kDownloadError, L"buffering...", "", 0, 0}, // cut: no name
        // A kept connection that died since the last request costs a retry on a new one.
        {"", "module-then-deaf&count=1", nullptr, L"First Light", "", -1, 0},
        {"", "module-then-reset&count=1", nullptr, L"First Light", "first.mod", -1, 0},
        // A failed first buffer: the second is never asked for.
        {"", "module-empty", &kDownloadError, L"buffering...", "first.mod", 1, 0},
        {"", "module-oversize", &kDownloadError, L"buffering...", "first.mod", 1, 0},
        {"", "module-1mib", nullptr, L"First Light", "first.mod", -1, 0},
        {"", "module-404", &kCorrupted, L"???", "first.mod", 2, 0},
        // A format the decoder does not keep (669), under a kept format's name; the
        // engine's own table has the others.
        {"refused.mod,first.mod", "", &kCorrupted, L"???", "refused.mod", 2, 0},
        // A failed refill: the track playing goes on to its end, and nothing follows it.
        {"first.mod,second.mod,third.mod", "module-empty&after=2", &kDownloadError, L"buffering...",
         "first.mod", 3, 6.0},
        // A later track the engine refuses is skipped without a word.
        {"first.mod,broken.mod,second.mod", "", nullptr, L"Second Wind", "first.mod", -1, 0},
        // A reset after 8 KiB: the bytes that arrived are the module.
        {"long.mod,second.mod", "module-reset&at=8192&count=1", nullptr, L"Long Road", "long.mod",
         -1, 0},
        // A refill that stalls before its first byte: the box once the stall limit has passed.
        {"first.mod,second.mod,third.mod", "module-stall&after=2&at=0", &kDownloadError,
         L"buffering...", "first.mod", 3, 6.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.playlist) + " " + c.fault);
        ASSERT_TRUE(Start(*c.playlist ? c.playlist : "first.mod,second.mod", c.fault));
        if (c.box != nullptr) {
            HWND box = WaitForBox(60000); // a stall limit and a track from now at most
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(BoxText(box), *c.box);
            EXPECT_EQ(GetWindow(box, GW_OWNER), window);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
        EXPECT_TRUE(WaitForTitle(c.title));
        EXPECT_EQ(player->ErrorBox(), nullptr);
        if (c.halted >= 0) {
            StationControl("release"); // a stalled request is logged once it ends
            PumpMessages(2500);        // longer than a poll
            // ...and the track that was playing has been heard to its end.
            PumpUntil([] { return CapturedLevel(CapturedBytes() - 88200) < 1.0; }, 10000);
            EXPECT_EQ(StationRequests(logFrom, "module").size(), static_cast<size_t>(c.halted));
            EXPECT_TRUE(TitleShows(c.title));
            double heard = 0;
            for (const auto& stretch : AudibleStretches()) {
                heard += (stretch.second - stretch.first) / 88200.0;
            }
            EXPECT_NEAR(heard, c.seconds, 0.3);
        }
        const std::vector<StationRequest> modules = StationRequests(logFrom, "module");
        EXPECT_EQ(modules.empty() ? "" : modules[0].path.substr(4, strlen(c.module)), c.module);
        CloseExpectingZero();
    }
}

// A drag as a user makes it: press on the thumb, move, release, with the real pointer.
// The move waits for the press to take the capture: the thumb reads the pointer.
void DragThumb(HWND trackBar, int fromX, int toX) {
    RECT r;
    GetWindowRect(trackBar, &r);
    const std::string y = std::to_string(r.top + 10);
    ASSERT_TRUE(Pointer({"mousemove", std::to_string(r.left + fromX), y, "mousedown", "1"}));
    EXPECT_TRUE(PumpUntil([&] { return CaptureIn(trackBar) == trackBar; }, 5000));
    ASSERT_TRUE(Pointer({"mousemove", std::to_string(r.left + toX), y, "mouseup", "1"}));
    EXPECT_TRUE(PumpUntil([&] { return CaptureIn(trackBar) == nullptr; }, 5000));
}

// The level of what is heard over about `ms` from now, once a change has reached the
// ear: through the engine's 230 ms of buffers and the sound server's own.
double LevelOver(DWORD ms) {
    PumpMessages(600);
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
    ASSERT_TRUE(Click(agc));
    const double withoutAgc = LevelOver(500);
    EXPECT_LT(withoutAgc, atHalf / 1.5);
    ASSERT_TRUE(Click(agc));
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
        const char* fault;
        bool boxOpen;          // closed with the worker's box open, or during a download
        bool byButton = false; // by "x" (then no WM_CLOSE), or by WM_CLOSE messages
        int closes = 1;        // WM_CLOSE messages, one right behind the other
    } cases[] = {
        {"answer-silent", false},
        // Refused unread at once and closed. Wine reads out the rest on the close until
        // it catches up with the sender: at the pace of a network that is at once.
        {"module-huge&pace=0.005", true},
        // A second close while the first waits for the worker.
        {"module-stall", false, false, 2},
        {"module-stall", false, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + (c.byButton ? " by x" : ""));
        ASSERT_TRUE(Start("first.mod,second.mod", c.fault));
        if (c.boxOpen) {
            ASSERT_NE(WaitForBox(10000), nullptr);
        } else {
            ASSERT_TRUE(WaitForTitle(L"buffering...", 10000));
            PumpMessages(500);
        }
        DWORD start = GetTickCount();
        if (c.byButton) {
            ASSERT_TRUE(Click(ChildAt(window, 380, 15)));
        }
        for (int i = 0; i < c.closes; ++i) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
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
        // Nothing given up was read out: even an endless body ended soon after its
        // refusal. Its log line comes once the player has gone.
        const bool endless = strstr(c.fault, "huge") != nullptr;
        std::vector<StationRequest> modules;
        PumpUntil([&] { return !(modules = StationRequests(logFrom, "module")).empty(); },
                  endless ? 5000 : 0);
        EXPECT_TRUE(!endless || !modules.empty()) << "the endless body was never logged";
        for (const StationRequest& r : modules) {
            EXPECT_LT(r.bytes, 8 << 20) << r.path << ": a body given up was read out";
        }
    }
}

// The station's count of the connections the program holds: {open now, most at
// once since the station's reset}, or {-1, -1}.
std::pair<int, int> Connections() {
    std::string json;
    int open = -1, most = -1;
    StationControl("connections", &json) &&
        sscanf(json.c_str(), "{\"open\": %d, \"most\": %d}", &open, &most);
    return {open, most};
}

// However the station answers, the program holds at most two connections to it at
// once, as Windows allows a program for one server (Wine has no such limit), and
// it closes promptly in the midst of it, its connections going with it.
using StationConnections = StationTest;
TEST_F(StationConnections, AtMostTwoAreHeldWhateverTheStationSendsAndAllGoWithTheProgram) {
    // Each about 2 s: a 1-second module, then the next poll. A connection a track
    // kept would make three by the third.
    const size_t kTracks = 4;
    // Endless bodies come at about 3 MB/s, as over a fast line, but one row has them
    // as fast as the program reads (where Wine's close never ends).
    const std::string paced = "&pace=0.005&";
    const std::string module = "module-redirect&to=/xm/soak01.mod%3Fagain" + paced;
    const std::string answer = "answer-redirect&to=/xm/request.php%3Fagain" + paced;
    const struct Row {
        std::string fault; // the 302s' bodies never end: chunked, or ended by the close
        size_t tracks;     // started before it is closed; 0: the fault comes with the third
        bool box;          // the download box comes then
        DWORD ms = 1000;   // from the fault to the release
    } rows[] = {
        {module + "coding=chunked", kTracks, false},
        {module + "length=none", kTracks, false},
        {answer + "coding=chunked", kTracks, false},
        {answer + "length=none", kTracks, false},
        {"module-redirect&after=2&to=/xm/soak01.mod%3Fagain&coding=chunked", 0, false, 10000},
        // Too large, announced or not; at a tenth of the pace, which even a starved
        // Wine outreads, so that its close finds the rest not yet come and ends.
        {"module-huge&after=2&pace=0.05", 0, true},
        {"module-huge&after=2&pace=0.05&coding=chunked", 0, true},
        {"module-stall&after=2&at=0", 0, true},                     // released: the box
        {"module-headers&after=2&pace=0.005", 0, false},            // header lines without end
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        ASSERT_TRUE(Start("soak01.mod,soak02.mod", row.fault));
        if (row.tracks > 0) {
            const auto tracks = [&] { // the answers that started a track, not the redirected
                const std::vector<StationRequest> answers = StationRequests(logFrom, "answer");
                return std::count_if(answers.begin(), answers.end(), [](const StationRequest& r) {
                    return r.path == "/xm/request.php";
                });
            };
            // Twice the worst case a track (a missed poll: 4 s), counted from the start.
            EXPECT_TRUE(PumpUntil([&] { return size_t(tracks()) > row.tracks; },
                                  (row.tracks + 1) * 8000));
        } else {
            // The first two tracks are fetched, then the fault comes.
            std::string fault;
            ASSERT_TRUE(PumpUntil(
                [&] {
                    return StationControl("fault", &fault) &&
                           fault.find("\"applied\": 1") != std::string::npos;
                },
                15000));
            PumpMessages(row.ms);
            StationControl("release");
            if (row.box) {
                ASSERT_NE(WaitForBox(10000), nullptr);
                EXPECT_TRUE(PumpUntil([] { return Connections().first == 0; }, 10000))
                    << "held after the fetch failed";
            }
        }
        const std::pair<int, int> seen = Connections();
        EXPECT_GE(seen.second, 1);
        EXPECT_LE(seen.second, 2) << "connections held at once";
        CloseExpectingZero();
        EXPECT_TRUE(PumpUntil([] { return Connections().first == 0; }, 5000));
    }
}

// Where the window and its controls are: centred and borderless; in it "x", "_",
// title, volume, link, AGC and picture.
TEST_F(StationTest, WindowIsCentredBorderlessWithItsControlsInPlace) {
    ASSERT_TRUE(Start("first.mod,second.mod"));
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME | WS_BORDER), 0);
    EXPECT_EQ(ChildWindows(window).size(), 7u);
    const int left = (GetSystemMetrics(SM_CXSCREEN) - 409) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - 170) / 2;
    const RECT rects[] = {{left, top, 409, 170}, {380, 15, 15, 16},   {360, 15, 15, 16},
                          {125, 50, 200, 20},    {125, 80, 200, 20},  {125, 108, 110, 20},
                          {285, 111, 40, 15},    {30, 40, 62, 92}}; // left, top, width, height
    for (const RECT& c : rects) {
        HWND w = &c == rects ? window : ChildAt(window, c.left, c.top);
        ASSERT_NE(w, nullptr) << c.left << ", " << c.top;
        const RECT r = RectInParent(w, &c == rects ? nullptr : window); // null: the screen
        EXPECT_TRUE(r.left == c.left && r.top == c.top && r.right - r.left == c.right &&
                    r.bottom - r.top == c.bottom)
            << c.left << ", " << c.top;
    }
    CloseExpectingZero();
}

TEST_F(StationTest, MinimisedItPlaysOnAndRestoredItShowsItsTitleAgain) {
    ASSERT_TRUE(Start("long.mod,second.mod"));
    ASSERT_TRUE(WaitForTitle(L"Long Road"));
    ASSERT_TRUE(Click(ChildAt(window, 360, 15))); // "_"
    ASSERT_TRUE(PumpUntil([&] { return IsIconic(window) != FALSE; }, 5000));
    EXPECT_GT(LevelOver(1000), 100.0) << "silent while minimised";
    ShowWindow(window, SW_RESTORE);
    EXPECT_TRUE(WaitForTitle(L"Long Road", 5000)) << "not repainted";
    EXPECT_FALSE(IsIconic(window));
    CloseExpectingZero();
}

// The sound server goes away for three seconds and comes back on its socket, twice
// (run-with-station --sound-gaps), as a sound service that restarts.
using SoundServer = StationTest;
TEST_F(SoundServer, TheSoundComesBackEachTimeTheServerDoes) {
    const char* gap = getenv("SOUND_GAP");
    ASSERT_NE(gap, nullptr);
    ASSERT_TRUE(Start("long.mod,long.mod"));
    ASSERT_TRUE(PumpUntil([] { return CapturedLevel(0) > 100; }, 20000));
    for (int time = 1; time <= 2; ++time) {
        std::ofstream(gap) << 3;
        ASSERT_TRUE(PumpUntil([&] { return GetFileAttributesA(gap) == INVALID_FILE_ATTRIBUTES; },
                              15000))
            << "the server is not back";
        const size_t back = CapturedBytes();
        // Twice the worst case: a retry of the device 2 s on, plus the latency.
        EXPECT_TRUE(PumpUntil([&] { return CapturedLevel(back) > 100; }, 5000)) << time;
    }
    EXPECT_EQ(player->ErrorBox(), nullptr);
    CloseExpectingZero();
}

// Nobody listens on the station's port (this case runs without the server).
using StationDown = StationTest;
TEST_F(StationDown, StartShowsTheDownloadErrorAndThePlayerStillCloses) {
    ASSERT_TRUE(Launch());
    HWND box = WaitForBox(20000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(BoxText(box), kDownloadError);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitForTitle(L"buffering...", 5000));
    CloseExpectingZero();
}

// The handshakes the station saw refused: its log's "tls-refused" lines.
size_t RefusedHandshakes() {
    std::ifstream in(getenv("STATION_LOG"));
    size_t n = 0;
    for (std::string line; std::getline(in, line);) {
        n += line.find("\"tls-refused\"") != std::string::npos;
    }
    return n;
}

// The station over https as well, with certificates of a test authority that Wine
// trusts for the run, and players built with the tests for https://localhost and
// http://localhost (the certificate names localhost).
using HttpsStation = StationTest;
TEST_F(HttpsStation, PlaysOverCheckedHttpsAndNeverFallsBackToHttp) {
    const char* https = SONVALE_HTTPS_LOCALHOST_EXE;
    const struct Case {
        const char* exe; // null: the shipped one, for http://127.0.0.1
        const char* certificate;
        const char* fault;
        const wchar_t* title; // once it plays; null: the download box comes promptly
    } cases[] = {
        {https, "station", "", L"First Light"},
        // Upgraded to https on its own host (the redirect took the first name).
        {SONVALE_HTTP_LOCALHOST_EXE, "station", "answer-redirect&scheme=https", L"Second Wind"},
        {nullptr, "station", "module-redirect&host=localhost&scheme=https", L"First Light"},
        {https, "station", "answer-redirect&scheme=http", nullptr}, // downgrades
        {https, "station", "module-redirect&scheme=http", nullptr},
        {https, "othername", "", nullptr},
        {https, "expired", "", nullptr},
        {https, "selfsigned", "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.certificate) + " " + c.fault);
        exe = c.exe;
        const size_t refused = RefusedHandshakes();
        ASSERT_TRUE(Start("first.mod,second.mod", c.fault, c.certificate));
        if (c.title != nullptr) {
            EXPECT_TRUE(WaitForTitle(c.title));
            EXPECT_EQ(player->ErrorBox(), nullptr);
            CloseExpectingZero();
            continue;
        }
        HWND box = WaitForBox(10000); // a third of the stall limit
        EXPECT_EQ(box != nullptr ? BoxText(box) : L"no box", kDownloadError);
        // A certificate the program refused, not one it never saw (logged once the
        // connection has ended).
        const bool wrong = strcmp(c.certificate, "station") != 0;
        EXPECT_EQ(PumpUntil([&] { return RefusedHandshakes() > refused; }, wrong ? 5000 : 0), wrong);
        for (const StationRequest& r : StationRequests(logFrom, "module")) {
            EXPECT_EQ(r.bytes, 0) << r.path << " went out";
        }
        CloseExpectingZero();
    }
}

} // namespace
