// The abandonable reader on real WinINet against a loopback server of the
// test's own (reader/reader_server.py), which runs this program.
#include <gtest/gtest.h>

#include "ApiHook.h"
#include "FetchRules.h"
#include "InternetReader.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

const int port = getenv("READER_PORT") != nullptr ? atoi(getenv("READER_PORT")) : 0;
const DWORD kFlags = 0x04400000; // the player's: no cache write, keep the connection

std::wstring Url(const std::string& path) {
    std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    return std::wstring(url.begin(), url.end());
}

std::string Expected(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) % 256);
    }
    return bytes;
}

// Reads to the end (true) or a failure (false); no piece may exceed `piece` bytes.
bool ReadAll(InternetReader& reader, std::string& body, const std::atomic<bool>& stop,
             DWORD piece = 1024) {
    char buffer[1024];
    DWORD count = 1;
    bool ok = true;
    while (count > 0 && (ok = reader.Read(buffer, piece, &count, stop))) {
        EXPECT_LE(count, piece);
        body.append(buffer, count < piece ? count : piece);
    }
    return ok;
}

// A plain GET through the reader in a session of its own: the body, or "" on failure.
std::string Get(const std::string& path) {
    HINTERNET root = OpenInternetSession();
    std::atomic<bool> stop{false};
    std::string body;
    InternetReader reader(5000);
    bool ok = reader.Open(root, Url(path).c_str(), kFlags, stop) && ReadAll(reader, body, stop);
    reader.Close();
    CloseInternetSession(root);
    return ok ? body : "";
}

// The wide read as older Windows has it: a stub.
BOOL WINAPI WideReadStub(HINTERNET, LPINTERNET_BUFFERSW, DWORD, DWORD_PTR) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

// Reads that bring nothing though data was reported, counted.
std::atomic<int> emptyReads{0};
BOOL WINAPI EmptyRead(HINTERNET, void*, DWORD, DWORD* count) {
    ++emptyReads;
    *count = 0;
    return TRUE;
}
BOOL WINAPI EmptyWideRead(HINTERNET, LPINTERNET_BUFFERSW buffers, DWORD, DWORD_PTR) {
    ++emptyReads;
    buffers->dwBufferLength = 0;
    return TRUE;
}

decltype(&InternetCloseHandle) realClose;

// Closes made on the thread that asked for them (the test's), counted.
DWORD callerThread = 0;
std::atomic<int> callerCloses{0};
BOOL WINAPI CloseOnCaller(HINTERNET handle) {
    callerCloses += GetCurrentThreadId() == callerThread;
    return realClose(handle);
}

class InternetReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(port, 0) << "run by reader_server.py";
        ASSERT_NE(root = OpenInternetSession(), nullptr);
    }
    void TearDown() override {
        // The session closes past abandoned requests; once their stalls end,
        // WinINet lets go of them and every state is freed.
        CloseInternetSession(root);
        Get("/release");
        for (int i = 0; i < 250 && InternetReader::LiveRequestStates() != 0; ++i) {
            Sleep(20);
        }
        EXPECT_EQ(InternetReader::LiveRequestStates(), 0);
    }
    HINTERNET root = nullptr;
    std::atomic<bool> stop{false};
};

TEST_F(InternetReaderTest, BodiesArriveWholeAndEndWhereTheyEndOrWhenStopped) {
    struct Case {
        const char* path;
        DWORD piece, stopAfterMs, stallLimitMs;
        bool opens, ends; // Open's result; whether the reads reach the end
        size_t bytes;     // of the expected body that arrive
        DWORD error;      // after a stop or a stall (0: not looked at)
    } cases[] = {
        {"/body/300000", 1024, 0, 5000, true, true, 300000, 0},
        {"/body/5000", 100, 0, 5000, true, true, 5000, 0},
        {"/length/50000", 1024, 0, 5000, true, true, 50000, 0}, // no length: the close ends it
        {"/reset/5000", 1024, 0, 5000, true, false, 5000, 0}, // short of its length: an error
        {"/hop/5", 1024, 0, 5000, true, true, 100, 0},        // five redirects are followed
        {"/hop/6", 1024, 0, 5000, false, false, 0, 0},        // the sixth is not
        {"/overlong/6", 1024, 0, 5000, true, true, 6, 0},     // the length is the end, at once
        // A length that is not plain digits, or two that differ: refused unread (FetchRules).
        {"/length/5000/12abc", 1024, 0, 5000, false, false, 0, ERROR_HTTP_INVALID_SERVER_RESPONSE},
        {"/length/5000/1/5000", 1024, 0, 5000, false, false, 0, ERROR_HTTP_INVALID_SERVER_RESPONSE},
        {"/length/5000/5000/5000/5000/5000/5000/5000/5000/5000/5000/5000/5000/5000/5000/5000/5000/"
         "5000/1", // the 17th differs
         1024, 0, 5000, false, false, 0, ERROR_HTTP_INVALID_SERVER_RESPONSE},
        {"/chunked/5000", 1024, 0, 5000, true, true, 5000, 0}, // the coding wins over any length
        {"/stall/5000", 1024, 800, 10000, true, false, 5000, ERROR_CANCELLED},
        {"/silent", 1024, 800, 10000, false, false, 0, ERROR_CANCELLED},
        {"/stall/3000", 1024, 0, 1000, true, false, 3000, ERROR_INTERNET_TIMEOUT},
    };
    HookImport("wininet.dll", "InternetReadFileExW", reinterpret_cast<void*>(WideReadStub));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        stop = false;
        std::thread stopper([&] {
            Sleep(c.stopAfterMs); // well after the bytes that come have arrived
            stop = c.stopAfterMs > 0;
        });
        InternetReader reader(c.stallLimitMs); // a stall fails the case, not the whole run
        const bool opened = reader.Open(root, Url(c.path).c_str(), kFlags, stop);
        EXPECT_EQ(opened, c.opens);
        std::string body;
        EXPECT_EQ(opened && ReadAll(reader, body, stop, c.piece), c.ends) << reader.LastError();
        stopper.join();
        EXPECT_TRUE(body == Expected(c.bytes)) << body.size() << " bytes";
        EXPECT_TRUE(c.error == 0 || reader.LastError() == c.error) << reader.LastError();
        DWORD count = 1;
        char piece[16];
        EXPECT_EQ(reader.Read(piece, sizeof(piece), &count, stop), c.ends) << "the end stays";
        EXPECT_EQ(count, 0u);
    }
}

TEST_F(InternetReaderTest, AReadThatBringsNothingIsAskedAgainASliceLaterNotAtOnce) {
    ImportHook plain("wininet.dll", "InternetReadFile", &EmptyRead);
    ImportHook wide("wininet.dll", "InternetReadFileExW", &EmptyWideRead);
    InternetReader reader(1000);
    std::string body;
    EXPECT_FALSE(reader.Open(root, Url("/body/5000").c_str(), kFlags, stop) &&
                 ReadAll(reader, body, stop));
    EXPECT_EQ(reader.LastError(), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
    EXPECT_LT(emptyReads.load(), static_cast<int>(2000 / InternetReader::kSliceMs)) << "a spin";
}

// Answers stay on their server; a module may come from any web server (a
// mirror); anywhere else fails at once. No usable place: the redirect's body.
TEST_F(InternetReaderTest, RedirectsStayOnTheWebAndAnswersOnTheirOwnServer) {
    const auto same = RedirectScope::SameServer, any = RedirectScope::AnyWebServer;
    const struct Case {
        std::string location;
        RedirectScope scope;
        int bytes; // of the body, or -1: refused
    } cases[] = {
        {"/body/100", same, 100},
        {"http://localhost:PORT/body/100", same, -1},
        {"http://localhost:PORT/body/100", any, 100},
        {"ftp://127.0.0.1:PORT/x", any, -1},
        {"file:///C:/windows/win.ini", any, -1},
        {"javascript:alert(1)", any, -1},
        {"C:%5Cx", any, -1},
        {"", same, 37},
        {"%0D%0A%20/body/100", same, 37}, // folded onto the next line
        {"/body/100?" + std::string(2048, 'a'), same, 37},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location.substr(0, 40));
        InternetReader reader(5000);
        const bool opened =
            reader.Open(root, Url("/to?" + c.location).c_str(), kFlags, stop, c.scope);
        EXPECT_EQ(opened, c.bytes >= 0);
        EXPECT_EQ(reader.LastError(), opened ? 0u : ERROR_HTTP_REDIRECT_FAILED);
        std::string body;
        EXPECT_TRUE(!opened || ReadAll(reader, body, stop));
        EXPECT_TRUE(body == Expected(c.bytes > 0 ? c.bytes : 0)) << body.size() << " bytes";
    }
}

// Servers compare as written: host name with A-Z in any case, port (default or not);
// an answer may be upgraded to https on its own host, and nothing goes down to http.
TEST(FetchRules, AnAnswerIsReadFromItsOwnServerOnlyAndNeverDowngraded) {
    const auto same = RedirectScope::SameServer, any = RedirectScope::AnyWebServer;
    const struct Case {
        const wchar_t *from, *to;
        RedirectScope scope;
        bool allowed;
    } cases[] = {
        {L"http://Radio.example/xm/", L"HTTP://radio.EXAMPLE:80/a", same, true},
        {L"http://radio.example/xm/", L"http://radio.example:81/a", same, false},
        {L"http://radio.example/xm/", L"https://radio.example/a", same, true},
        {L"http://radio.example:8080/xm/", L"https://radio.example/a", same, false},
        {L"http://radio.example/xm/", L"https://radio.example:8443/a", same, false},
        {L"http://radio.example/xm/", L"https://mirror.example/a", same, false},
        {L"https://radio.example/xm/", L"https://radio.example:443/a", same, true},
        {L"https://radio.example/xm/", L"http://radio.example:443/a", same, false},
        {L"https://radio.example/xm/", L"https://mirror.example/a", any, true},
        // Only A-Z fold; an authority other parsers could read otherwise goes nowhere.
        {L"http://caf\u00E9.example/xm/", L"http://caf\u00C9.example/a", same, false},
        {L"http://station.example/xm/", L"http://\u017Ftation.example/a", same, false},
        {L"http://radio.example/xm/", L"http://evil.example@radio.example/a", same, false},
        {L"http://radio.example/xm/", L"http://evil.example\\@radio.example/a", same, false},
        {L"http://radio.example/xm/", L"http://me@mirror.example/a", any, false},
        {L"http://radio.example/xm/", L"http://r%61dio.example/a", same, false},
        {L"http://radio.example/xm/", L"http://radio.example./a", same, false},
        {L"http://[::1]:8000/xm/", L"http://[::1]:8000/a", same, true},
        {L"http://[::1]:8000/xm/", L"http://[0::1]:8000/a", same, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RedirectAllowed(c.from, c.to, c.scope), c.allowed) << c.from << " -> " << c.to;
    }
}

// What counts as a body's length: plain digits, the same in every value, or the
// response is unusable; a transfer coding frames the body whatever lengths it has.
TEST(FetchRules, ALengthIsPlainDigitsAgreedByEveryValueOrTheResponseIsUnusable) {
    const struct Case {
        std::vector<std::wstring> values;
        bool coded, known, invalid;
        unsigned long long bytes;
    } cases[] = {
        {{}, false, false, false, 0},
        {{L"5000"}, false, true, false, 5000},
        {{L" 0\t"}, false, true, false, 0},
        {{L"5000", L"5000, 5000"}, false, true, false, 5000},
        {{L"99999999999999999999"}, false, true, false, ~0ULL},
        {{L"abc"}, false, false, true, 0},
        {{L""}, false, false, true, 0},
        {{L"+12"}, false, false, true, 0},
        {{L"5000, 12"}, false, false, true, 0},
        {{L"abc"}, true, false, false, 0},
    };
    for (const Case& c : cases) {
        const BodyLength l = AnnouncedLength(c.values, c.coded);
        EXPECT_TRUE(l.known == c.known && l.invalid == c.invalid && l.bytes == c.bytes)
            << testing::PrintToString(c.values) << ": " << l.known << l.invalid << " " << l.bytes;
    }
}

// The name is the answer without the line break that ends it, and no longer than a path.
TEST(FetchRules, AnAnswerNamesItsModuleWithoutItsLineBreakAndNoLongerThanAPath) {
    const std::wstring path(kMaxTrackNameLength, L'x');
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"first.mod", L"first.mod"}, {L"a\r\n\n", L"a"}, {L"a\r\nb", L"a\r\nb"},
        {path + L"\r\n", path},      {L"\r\n", L""},    {L"", L""},
        {path + L"x", L""},
    };
    for (const auto& c : cases) {
        std::wstring name = L"?";
        EXPECT_EQ(TrackName(c.first, name), !c.second.empty()) << c.first.substr(0, 20).c_str();
        EXPECT_EQ(c.second.empty() ? L"?" : c.second, name);
    }
}

// What reaches the server: control characters escaped (a line break at the end too:
// Windows does not cut it), and never a cookie.
TEST_F(InternetReaderTest, RequestsCarryNoControlCharactersAndNoCookies) {
    const std::pair<std::string, std::string> cases[] = {
        {"/echo/a\rX-Injected: b\x7f", "/echo/a%0DX-Injected:%20b%7F"},
        {"/echo/b\r\n", "/echo/b%0D%0A"},
        {"/to?/echo/c%0Dd", "/echo/c%0Dd"}, // in a Location
        {"/cookie", "cookie:"},             // sets one,
        {"/cookie", "cookie:"},             // which does not come back
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Get(c.first), c.second);
    }
}

// A close that may read long (Wine reads out a body on the close) never runs on the
// caller's thread: neither for an open given up while it waits, nor for one whose
// answer came after it was given up, into a body without end.
TEST_F(InternetReaderTest, AnOpenGivenUpIsClosedAsideEvenWhenItsAnswerComesLater) {
    ImportHook closes("wininet.dll", "InternetCloseHandle", &CloseOnCaller);
    ASSERT_TRUE((realClose = closes.original) != nullptr);
    callerThread = GetCurrentThreadId();
    InternetReader reader(300);
    EXPECT_FALSE(reader.Open(root, Url("/late/1048576").c_str(), kFlags, stop));
    Sleep(1500); // the answer has come
    reader.Close();
    EXPECT_EQ(callerCloses.load(), 0);
}

// A handle is ours only until WinINet reports it closing: a request closed with its
// session is not closed again by its reader, though by then another request may
// have its value (Wine gives it to the next handle made).
TEST_F(InternetReaderTest, ARequestClosedWithItsSessionIsNotClosedAgain) {
    InternetReader first(5000), others[3];
    ASSERT_TRUE(first.Open(root, Url("/body/100").c_str(), kFlags, stop));
    CloseInternetSession(root);
    ASSERT_NE(root = OpenInternetSession(), nullptr);
    for (InternetReader& other : others) {
        ASSERT_TRUE(other.Open(root, Url("/body/5000").c_str(), kFlags, stop));
    }
    first.Close();
    for (InternetReader& other : others) {
        std::string body;
        EXPECT_TRUE(ReadAll(other, body, stop) && body == Expected(5000)) << body.size() << " bytes";
    }
}

} // namespace
