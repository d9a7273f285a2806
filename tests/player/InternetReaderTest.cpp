// The abandonable reader on real WinINet against a loopback server of the
// test's own (reader/reader_server.py), started once for the whole program.
#include <gtest/gtest.h>

#include "InternetReader.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

int port = 0;
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
    DWORD count = 0;
    while (reader.Read(buffer, piece, &count, stop)) {
        EXPECT_LE(count, piece);
        if (count == 0 || count > piece) {
            return count == 0;
        }
        body.append(buffer, count);
    }
    return false;
}

// A plain GET through the reader in a session of its own: the body, or "" on failure.
std::string Get(const std::string& path) {
    HINTERNET root = OpenInternetSession();
    std::atomic<bool> stop{false};
    std::string body;
    InternetReader reader(5000);
    if (!reader.Open(root, Url(path).c_str(), kFlags, stop) || !ReadAll(reader, body, stop)) {
        body.clear();
    }
    reader.Close();
    CloseInternetSession(root);
    return body;
}

class ServerEnvironment : public ::testing::Environment {
    void SetUp() override {
        // Wine starts a Unix program given by its Unix path; Z: is the Unix root.
        std::string portFile = "/tmp/sonvale_reader_" + std::to_string(GetCurrentProcessId());
        std::wstring command;
        for (char c : std::string(SONVALE_PYTHON3 " " SONVALE_READER_SERVER " ") + portFile) {
            command += static_cast<wchar_t>(c);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process));
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        for (int i = 0; i < 200 && port == 0; ++i) {
            FILE* file = fopen(("Z:" + portFile).c_str(), "r");
            if (file == nullptr || fscanf(file, "%d", &port) != 1) {
                Sleep(50);
            }
            if (file != nullptr) {
                fclose(file);
            }
        }
        remove(("Z:" + portFile).c_str());
        ASSERT_NE(port, 0) << "the test server did not start";
    }
    void TearDown() override { Get("/quit"); }
};

const auto* const serverEnvironment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

class InternetReaderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(root = OpenInternetSession(), nullptr); }
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

TEST_F(InternetReaderTest, BodiesArriveWholeAndEndWhereTheyEnd) {
    struct Case {
        const char* path;
        DWORD piece;
        bool opens, ends; // Open's result; whether the reads reach the end
        size_t bytes;     // of the expected body that arrive
    } cases[] = {
        {"/body/300000", 1024, true, true, 300000},
        {"/body/5000", 100, true, true, 5000},
        {"/body/0", 1024, true, true, 0},
        {"/close/50000", 1024, true, true, 50000},
        {"/reset/5000", 1024, true, false, 5000}, // short of its length: an error
        {"/hop/5", 1024, true, true, 100},        // five redirects are followed
        {"/hop/6", 1024, false, false, 0},        // the sixth is not
        {"/overlong/6", 1024, true, true, 6},     // the announced length is the end, at once
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        InternetReader reader(5000); // a stall fails the case, not the whole run
        const bool opened = reader.Open(root, Url(c.path).c_str(), kFlags, stop);
        EXPECT_EQ(opened, c.opens);
        std::string body;
        EXPECT_EQ(opened && ReadAll(reader, body, stop, c.piece), c.ends) << reader.LastError();
        EXPECT_TRUE(body == Expected(c.bytes)) << body.size() << " bytes";
        DWORD count = 1;
        char piece[16];
        // The end stays the end, and a failure stays a failure.
        EXPECT_EQ(reader.Read(piece, sizeof(piece), &count, stop), c.ends);
        EXPECT_EQ(count, 0u);
    }
}

TEST_F(InternetReaderTest, RedirectLoopFailsAfterAFewHopsAndLeavesNothingRunning) {
    const int before = std::stoi(Get("/hits"));
    InternetReader reader(5000);
    EXPECT_FALSE(reader.Open(root, Url("/loop").c_str(), kFlags, stop));
    EXPECT_NE(reader.LastError(), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT)) << "not a stall";
    reader.Close();
    const int afterFailure = std::stoi(Get("/hits"));
    EXPECT_LE(afterFailure - before, 6);
    Sleep(500);
    EXPECT_EQ(std::stoi(Get("/hits")), afterFailure) << "the abandoned request goes on";
}

TEST_F(InternetReaderTest, StopEndsAWaitWithCancelledAndTheStallLimitWithTimeout) {
    struct Case {
        const char* path;
        DWORD stallLimitMs;
        bool stops;
        DWORD error;
        size_t bytes;
    } cases[] = {
        {"/stall/5000", 10000, true, ERROR_CANCELLED, 5000},       // during a read
        {"/silent", 10000, true, ERROR_CANCELLED, 0},              // while no answer comes
        {"/stall/3000", 1000, false, ERROR_INTERNET_TIMEOUT, 3000}, // the limit on its own
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        stop = false;
        std::thread stopper([&] {
            Sleep(800); // well after the bytes that come have arrived
            stop = c.stops;
        });
        const DWORD start = GetTickCount();
        InternetReader reader(c.stallLimitMs);
        std::string body;
        EXPECT_FALSE(reader.Open(root, Url(c.path).c_str(), kFlags, stop) &&
                     ReadAll(reader, body, stop));
        const DWORD elapsed = GetTickCount() - start;
        stopper.join();
        EXPECT_EQ(reader.LastError(), c.error);
        EXPECT_TRUE(body == Expected(c.bytes)) << body.size();
        EXPECT_GE(elapsed + 50, c.stops ? 800 : c.stallLimitMs) << "gave up too early";
        char piece[16];
        DWORD count = 0;
        EXPECT_FALSE(reader.Read(piece, sizeof(piece), &count, stop)) << "failed for good";
    }
}

} // namespace
