// The whole player against the station server: the real program under Wine, the
// real WinINet on loopback, the real engine writing sound to the ALSA file device.
#include <windows.h>

#include <gtest/gtest.h>
#include <wininet.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FStaticTextBox.h"
#include "FlatTheme.h"
#include "PlayerProcess.h"
#include "Screen.h"
#include "UiHelpers.h"

namespace {

std::string Env(const char* name) {
    const char* v = getenv(name);
    return v != nullptr ? v : "";
}

// Sends a control command to the station (fault modes, playlist, reset).
bool Station(const std::string& command) {
    std::wstring url = L"http://127.0.0.1:";
    for (char c : Env("STATION_PORT") + "/control/" + command) {
        url += static_cast<wchar_t>(c);
    }
    HINTERNET session =
        InternetOpenW(L"station-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    bool ok = request != nullptr;
    char sink[512];
    DWORD n = 0;
    while (request != nullptr && InternetReadFile(request, sink, sizeof(sink), &n) && n > 0) {
    }
    if (request != nullptr) {
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return ok;
}

struct LoggedRequest {
    std::string kind, path, agent, outcome;
};

std::string Field(const std::string& line, const std::string& key) {
    std::string marker = "\"" + key + "\": \"";
    size_t at = line.find(marker);
    if (at == std::string::npos) {
        marker = "\"" + key + "\":\"";
        at = line.find(marker);
        if (at == std::string::npos) {
            return "";
        }
    }
    at += marker.size();
    std::string value;
    for (size_t i = at; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
            value += line[i] == 'n' ? '\n' : line[i] == 'r' ? '\r' : line[i];
        } else {
            value += line[i];
        }
    }
    return value;
}

// Lines of the station's log written before the current test began.
size_t logLinesBefore = 0;

size_t LogLines() {
    std::ifstream in(Env("STATION_LOG"));
    size_t n = 0;
    std::string line;
    while (std::getline(in, line)) {
        ++n;
    }
    return n;
}

// The player's requests in the station's log since the test began, in order
// (control requests left out).
std::vector<LoggedRequest> PlayerRequests() {
    std::ifstream in(Env("STATION_LOG"));
    std::vector<LoggedRequest> found;
    std::string line;
    for (size_t skipped = 0; skipped < logLinesBefore && std::getline(in, line); ++skipped) {
    }
    while (std::getline(in, line)) {
        if (line.find("\"request\"") == std::string::npos) {
            continue;
        }
        LoggedRequest r = {Field(line, "kind"), Field(line, "path"), Field(line, "agent"),
                           Field(line, "outcome")};
        if (r.kind == "answer" || r.kind == "module") {
            found.push_back(r);
        }
    }
    return found;
}

std::vector<std::string> ModulePaths(const std::vector<LoggedRequest>& requests) {
    std::vector<std::string> paths;
    for (auto& r : requests) {
        if (r.kind == "module") {
            paths.push_back(r.path);
        }
    }
    return paths;
}

// Root mean square of the captured sound from byte `from` on (the whole file by default).
double CapturedLevel(size_t from = 0, size_t to = SIZE_MAX) {
    std::ifstream in(Env("SOUND_FILE"), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    to = std::min(to, bytes.size());
    double sum = 0;
    size_t n = 0;
    for (size_t i = from & ~size_t(1); i + 1 < to; i += 2) {
        int16_t s = static_cast<int16_t>((bytes[i] & 0xFF) | (bytes[i + 1] << 8));
        sum += static_cast<double>(s) * s;
        ++n;
    }
    return n > 0 ? std::sqrt(sum / n) : 0.0;
}

size_t CapturedBytes() {
    std::ifstream in(Env("SOUND_FILE"), std::ios::binary | std::ios::ate);
    return in ? static_cast<size_t>(in.tellg()) : 0;
}

// Closes the program as WM_CLOSE from outside does; it must end with exit code 0.
void ExpectClosesWithZero(PlayerProcess& player, HWND window) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(player.ExitCode(), 0);
}

class StationTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { CreateFlatTheme(); }
    static void TearDownTestSuite() { ReleaseFlatTheme(); }
    void SetUp() override {
        ASSERT_TRUE(Station("reset")) << "the station server is not there";
        MarkLog();
    }
    // Requests from here on are the current case's.
    static void MarkLog() {
        Sleep(100); // the log line of a request is written just after its answer
        logLinesBefore = LogLines();
    }

    // Whether the title box on the screen shows `text`, drawn as the box draws it.
    static bool TitleShows(HWND window, const wchar_t* text) {
        HWND box = ChildAt(window, 125, 50);
        if (box == nullptr) {
            return false;
        }
        RECT r;
        GetWindowRect(box, &r);
        ScreenGrab shot(r.left, r.top, 200, 20);
        FStaticTextBox expected;
        expected.SetText(KString(text));
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, 200, 20);
        HGDIOBJ old = SelectObject(dc, bitmap);
        expected.DrawFace(dc);
        int differences = 0;
        for (int y = 0; y < 20; ++y) {
            for (int x = 0; x < 200; ++x) {
                differences += GetPixel(dc, x, y) != shot.At(x, y) ? 1 : 0;
            }
        }
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        ReleaseDC(nullptr, screen);
        return differences == 0;
    }

  public:
    static bool WaitForTitleOf(HWND window, const wchar_t* text, DWORD ms) {
        CreateFlatTheme();
        bool shown = WaitForTitle(window, text, ms);
        ReleaseFlatTheme();
        return shown;
    }
    static bool WaitForTitle(HWND window, const wchar_t* text, DWORD ms = 20000) {
        return PumpUntil([&] { return TitleShows(window, text); }, ms);
    }
};

TEST_F(StationTest, StartFetchesBothBuffersThenPlaysTheFirstTrackWithItsTitle) {
    ASSERT_TRUE(Station("playlist?names=first.mod,second.mod,third.mod"));
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(WaitForTitle(window, L"First Light"));
    std::vector<LoggedRequest> requests;
    PumpUntil([&] { return (requests = PlayerRequests()).size() >= 4; }, 5000);
    ASSERT_GE(requests.size(), 4u);
    const char* expected[][2] = {{"answer", "/xm/request.php"},
                                 {"module", "/xm/first.mod"},
                                 {"answer", "/xm/request.php"},
                                 {"module", "/xm/second.mod"}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(requests[i].kind, expected[i][0]) << i;
        EXPECT_EQ(requests[i].path, expected[i][1]) << i;
        EXPECT_EQ(requests[i].agent, "SONVALE_V2") << i;
    }
    PumpMessages(1500);
    EXPECT_GT(CapturedLevel(), 200.0) << "the first track is heard";
    ExpectClosesWithZero(player, window);
}

TEST_F(StationTest, TracksFollowOneAnotherWithTheirTitles) {
    ASSERT_TRUE(Station("playlist?names=first.mod,second.mod,untitled.mod,third.mod,fourth.mod"));
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    // Each title in turn, the untitled module as "  ???".
    for (const wchar_t* title : {L"First Light", L"Second Wind", L"  ???", L"Third Stone"}) {
        EXPECT_TRUE(WaitForTitle(window, title, 30000)) << "waiting for a title";
    }
    std::vector<std::string> modules = ModulePaths(PlayerRequests());
    ASSERT_GE(modules.size(), 5u) << "the next track is fetched while one plays";
    EXPECT_EQ(modules[0], "/xm/first.mod");
    EXPECT_EQ(modules[3], "/xm/third.mod");
    EXPECT_EQ(modules[4], "/xm/fourth.mod");
    EXPECT_EQ(player.ErrorBox(), nullptr);
    ExpectClosesWithZero(player, window);
}

TEST_F(StationTest, BrokenFirstModuleShowsItsErrorCodeAndHalts) {
    ASSERT_TRUE(Station("playlist?names=broken.mod,first.mod,second.mod"));
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    HWND box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = player.ErrorBox()) != nullptr; }, 20000));
    // The engine's own verdict on the same bytes gives the code the box must show.
    std::wstring text = BoxText(box);
    const std::wstring tail = L"\n\nMake sure that your firewall is not blocking this application!";
    ASSERT_EQ(text.rfind(L"Corrupted file! Error Code:", 0), 0u)
        << "text: " << std::string(text.begin(), text.end());
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    std::wstring code = text.substr(27, text.size() - tail.size() - 27);
    EXPECT_EQ(code, L"41") << "BASS_ERROR_FILEFORM for bytes that are no module";
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    PumpMessages(3000);
    EXPECT_EQ(ModulePaths(PlayerRequests()).size(), 2u) << "halted: nothing more is fetched";
    EXPECT_TRUE(TitleShows(window, L"???"));
    ExpectClosesWithZero(player, window);
}

TEST_F(StationTest, BrokenLaterModuleIsSkippedSilently) {
    ASSERT_TRUE(Station("playlist?names=first.mod,broken.mod,second.mod,third.mod"));
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(WaitForTitle(window, L"First Light"));
    EXPECT_TRUE(WaitForTitle(window, L"Second Wind", 30000));
    EXPECT_EQ(player.ErrorBox(), nullptr);
    ExpectClosesWithZero(player, window);
}

// What a failed download looks like to the user, for each way the station fails.
TEST_F(StationTest, DownloadFailuresShowTheErrorBoxAndLeaveThePlayerUsable) {
    const std::wstring downloadError =
        L"Cannot download file! \n\nMake sure that your firewall is not blocking this application!";
    const std::wstring corrupted = L"Corrupted file! Error Code:";
    struct Case {
        const char* name;
        const char* fault;
        const std::wstring* box; // the box's text (a prefix for the corrupted file), or none
        const wchar_t* title;    // what the title box shows afterwards
    } cases[] = {
        {"empty answer", "fault?mode=answer-empty", &downloadError, L"buffering..."},
        {"empty module", "fault?mode=module-empty", &downloadError, L"buffering..."},
        {"module over 1 MiB", "fault?mode=module-oversize", &downloadError, L"buffering..."},
        {"answer of 1 MiB", "fault?mode=answer-1mib", &downloadError, L"buffering..."},
        {"error page as the module: fetched, then refused by the engine", "fault?mode=module-404",
         &corrupted, L"???"},
        {"module of exactly 1 MiB", "fault?mode=module-1mib", nullptr, L"First Light"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Station("reset"));
        ASSERT_TRUE(Station("playlist?names=first.mod,second.mod"));
        ASSERT_TRUE(Station(c.fault));
        MarkLog();
        PlayerProcess player;
        HWND window = player.Window();
        ASSERT_NE(window, nullptr);
        HWND box = nullptr;
        bool boxSeen = PumpUntil([&] { return (box = player.ErrorBox()) != nullptr; },
                                 c.box != nullptr ? 20000 : 4000);
        EXPECT_EQ(boxSeen, c.box != nullptr);
        if (boxSeen) {
            std::wstring text = BoxText(box);
            if (c.box != nullptr) {
                EXPECT_EQ(text.substr(0, c.box->size()), *c.box);
            }
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
        EXPECT_TRUE(WaitForTitle(window, c.title, 10000));
        ExpectClosesWithZero(player, window);
    }
}

TEST_F(StationTest, ConnectionResetMidModuleUsesTheBytesThatArrived) {
    ASSERT_TRUE(Station("playlist?names=long.mod,second.mod"));
    ASSERT_TRUE(Station("fault?mode=module-reset&at=8192&count=1"));
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(WaitForTitle(window, L"Long Road"));
    EXPECT_EQ(player.ErrorBox(), nullptr);
    auto requests = PlayerRequests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[1].outcome, "reset");
    ExpectClosesWithZero(player, window);
}

TEST_F(StationTest, FailedRefillLetsTheTrackEndThenStaysSilent) {
    // The third module request (the refill after the first switch) comes back empty.
    ASSERT_TRUE(Station("playlist?names=first.mod,second.mod,third.mod"));
    ASSERT_TRUE(Station("fault?mode=module-empty&after=2"));
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    HWND box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = player.ErrorBox()) != nullptr; }, 30000));
    EXPECT_EQ(ModulePaths(PlayerRequests()).size(), 3u);
    // The second track goes on meanwhile.
    size_t atBox = CapturedBytes();
    PumpMessages(300);
    EXPECT_GT(CapturedLevel(atBox), 200.0) << "the current track still plays";
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitForTitle(window, L"buffering...", 5000));
    // It plays to its end; then nothing more comes.
    size_t last = CapturedBytes();
    bool silent = PumpUntil(
        [&] {
            PumpMessages(500);
            size_t now = CapturedBytes();
            bool quiet = now > last && CapturedLevel(last, now) < 1.0;
            last = now;
            return quiet;
        },
        20000);
    EXPECT_TRUE(silent);
    PumpMessages(2500); // more than one poll of the timer
    EXPECT_EQ(ModulePaths(PlayerRequests()).size(), 3u);
    EXPECT_EQ(player.ErrorBox(), nullptr);
    EXPECT_TRUE(TitleShows(window, L"buffering..."));
    ExpectClosesWithZero(player, window);
}

// A drag as a user makes it: press on the thumb, move, release, with the real pointer.
void DragThumb(HWND trackBar, int fromClientX, int toClientX) {
    RECT r;
    GetWindowRect(trackBar, &r);
    const int y = r.top + 10;
    DWORD_PTR ignored;
    SetCursorPos(r.left + fromClientX, y);
    SendMessageTimeoutW(trackBar, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(fromClientX, 10), 0, 5000,
                        &ignored);
    SetCursorPos(r.left + toClientX, y);
    SendMessageTimeoutW(trackBar, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(toClientX, 10), 0, 5000,
                        &ignored);
    SendMessageTimeoutW(trackBar, WM_LBUTTONUP, 0, MAKELPARAM(toClientX, 10), 0, 5000, &ignored);
}

// The level of what is heard from now on, over about `ms` of waiting.
double LevelOver(DWORD ms) {
    size_t from = CapturedBytes();
    PumpMessages(150); // the change reaches the device within a block or two
    from = CapturedBytes();
    PumpMessages(ms);
    return CapturedLevel(from, CapturedBytes());
}

TEST_F(StationTest, VolumeAndAgcChangedDuringPlayChangeWhatIsHeard) {
    ASSERT_TRUE(Station("playlist?names=quiet.mod,quiet2.mod"));
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitForTitle(window, L"Quiet One"));
    HWND volume = ChildAt(window, 125, 80);
    HWND agc = ChildAt(window, 285, 111);
    ASSERT_NE(volume, nullptr);
    ASSERT_NE(agc, nullptr);
    PumpMessages(300); // past the first blocks, where the gain settles

    const double atHalf = LevelOver(500);
    ASSERT_GT(atHalf, 100.0);
    // Clearing "AGC" stops the gain stage: a quiet module gets quieter.
    Click(agc);
    const double withoutAgc = LevelOver(500);
    EXPECT_LT(withoutAgc, atHalf / 1.5);
    Click(agc);
    const double agcAgain = LevelOver(500);
    EXPECT_GT(agcAgain, withoutAgc * 1.5) << "the gain resumes";

    // Volume 50 -> about 25: the thumb from left 90 to left 47.
    DragThumb(volume, 95, 52);
    const double atQuarter = LevelOver(500);
    EXPECT_NEAR(atQuarter / agcAgain, 0.48, 0.12);

    // The next track starts at the volume the user left.
    ASSERT_TRUE(WaitForTitle(window, L"Quiet Two", 30000));
    PumpMessages(300);
    const double nextTrack = LevelOver(500);
    EXPECT_NEAR(nextTrack / agcAgain, 0.48, 0.12);

    // All the way left: silence.
    DragThumb(volume, 52, 1);
    EXPECT_LT(LevelOver(400), 2.0);
    ExpectClosesWithZero(player, window);
}

// Closing never hangs and never shows a box, whatever the worker is doing.
TEST_F(StationTest, CloseEndsTheProgramPromptlyInEveryState) {
    struct Case {
        const char* name;
        const char* fault;
        bool waitForBox;
    } cases[] = {
        {"during a stalled module", "fault?mode=module-stall", false},
        {"during a request nobody answers", "fault?mode=answer-silent", false},
        {"with the download error box open", "fault?mode=answer-empty", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Station("reset"));
        ASSERT_TRUE(Station("playlist?names=first.mod,second.mod"));
        ASSERT_TRUE(Station(c.fault));
        MarkLog();
        PlayerProcess player;
        HWND window = player.Window();
        ASSERT_NE(window, nullptr);
        if (c.waitForBox) {
            ASSERT_TRUE(PumpUntil([&] { return player.ErrorBox() != nullptr; }, 20000));
        } else {
            ASSERT_TRUE(WaitForTitle(window, L"buffering...", 10000));
            PumpMessages(500);
        }
        DWORD start = GetTickCount();
        PostMessageW(window, WM_CLOSE, 0, 0);
        bool boxAfterClose = false;
        long code = -1;
        PumpUntil(
            [&] {
                code = player.ExitCode(0);
                if (!c.waitForBox && player.ErrorBox() != nullptr) {
                    boxAfterClose = true;
                }
                return code != -1;
            },
            10000);
        EXPECT_EQ(code, 0);
        EXPECT_LT(GetTickCount() - start, 3000u);
        EXPECT_FALSE(boxAfterClose);
        ASSERT_TRUE(Station("release"));
    }
}

// Nobody listens on the station's port (this case runs without the server).
TEST(StationDown, StartShowsTheDownloadErrorAndThePlayerStillCloses) {
    PlayerProcess player;
    HWND window = player.Window();
    ASSERT_NE(window, nullptr);
    HWND box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = player.ErrorBox()) != nullptr; }, 20000));
    EXPECT_EQ(BoxText(box), L"Cannot download file! \n\nMake sure that your firewall is not "
                            L"blocking this application!");
    EXPECT_EQ(GetWindow(box, GW_OWNER), window);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(StationTest::WaitForTitleOf(window, L"buffering...", 5000));
    ExpectClosesWithZero(player, window);
}

} // namespace
