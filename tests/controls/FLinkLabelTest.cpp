// The link label opens the station's page through the real shell: the Wine
// prefix's http handler is pointed at the url_recorder program of these tests
// for the duration, so the URL the shell was given arrives in a file and no
// browser starts.
#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "ApiHook.h"
#include "ControlTestSupport.h"
#include "FLinkLabel.h"
#include "StationAddress.h"
#include "UiHelpers.h"

namespace {

const wchar_t handlerKey[] = L"http\\shell\\open\\command";

struct ShellCall {
    HWND owner;
    std::wstring verb, file;
    bool noParameters, noDirectory;
    int show;
    INT_PTR result;
};
std::vector<ShellCall> shellCalls;
decltype(&::ShellExecuteW) realShellExecuteW = nullptr;

HINSTANCE WINAPI RecordShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                     LPCWSTR directory, INT show) {
    HINSTANCE result = realShellExecuteW(owner, verb, file, parameters, directory, show);
    shellCalls.push_back({owner, verb != nullptr ? verb : L"(null)", file != nullptr ? file : L"",
                          parameters == nullptr, directory == nullptr, show,
                          reinterpret_cast<INT_PTR>(result)});
    return result;
}

std::wstring Directory(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

std::string ReadWholeFile(const std::wstring& path) {
    std::string content;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        return content;
    }
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(f, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        content.append(buffer, got);
    }
    CloseHandle(f);
    return content;
}

std::string Narrow(const wchar_t* s) {
    char buffer[1024];
    WideCharToMultiByte(CP_UTF8, 0, s, -1, buffer, sizeof(buffer), nullptr, nullptr);
    return buffer;
}

class FLinkLabelTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        recordFolder =
            std::wstring(temp) + L"sonvale-opened-urls-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(recordFolder.c_str(), nullptr);
        RemoveRecords();
        // Keep whatever handler the prefix had, to put it back afterwards.
        LONG size = sizeof(savedHandler);
        hadHandler =
            RegQueryValueW(HKEY_CLASSES_ROOT, handlerKey, savedHandler, &size) == ERROR_SUCCESS;
        const std::wstring command =
            L"\"" + Directory(self) + L"\\url_recorder.exe\" \"" + recordFolder + L"\" \"%1\"";
        ASSERT_EQ(RegSetValueW(HKEY_CLASSES_ROOT, handlerKey, REG_SZ, command.c_str(), 0),
                  ERROR_SUCCESS);
        if (realShellExecuteW == nullptr) {
            realShellExecuteW = reinterpret_cast<decltype(&::ShellExecuteW)>(HookImport(
                "shell32.dll", "ShellExecuteW", reinterpret_cast<void*>(RecordShellExecuteW)));
        }
        ASSERT_NE(realShellExecuteW, nullptr);
    }
    static void TearDownTestSuite() {
        if (hadHandler) {
            RegSetValueW(HKEY_CLASSES_ROOT, handlerKey, REG_SZ, savedHandler, 0);
        }
        RemoveRecords();
        RemoveDirectoryW(recordFolder.c_str());
    }
    void SetUp() override {
        EnsureFlatTheme();
        shellCalls.clear();
    }

    // The URLs the recorders have written, one file each.
    static std::vector<std::string> Records() {
        std::vector<std::string> urls;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((recordFolder + L"\\opened-*.txt").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                urls.push_back(ReadWholeFile(recordFolder + L"\\" + found.cFileName));
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        return urls;
    }
    static void RemoveRecords() {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((recordFolder + L"\\opened-*.txt").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                DeleteFileW((recordFolder + L"\\" + found.cFileName).c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    // Waits until `count` recorders have written their URL (a recorder is a
    // whole Wine process start, so this can take a moment on a busy machine).
    static std::vector<std::string> WaitForRecords(size_t count) {
        std::vector<std::string> urls;
        PumpUntil(
            [&] {
                urls = Records();
                return urls.size() >= count;
            },
            30000);
        PumpMessages(200); // a late extra open would show up here
        return Records();
    }

    static std::wstring recordFolder;
    static bool hadHandler;
    static wchar_t savedHandler[1024];
};
std::wstring FLinkLabelTest::recordFolder;
bool FLinkLabelTest::hadHandler = false;
wchar_t FLinkLabelTest::savedHandler[1024];

struct OpenCase {
    const char* name;
    POINT press, release;
    int opens;
};

TEST_F(FLinkLabelTest, AClickInsideOpensTheStationPageThroughTheShell) {
    HostWindow host;
    FLinkLabel link;
    link.SetText(KString(L"Quorvane"));
    link.SetPosition(270, 130);
    ASSERT_TRUE(host.AddComponent(&link));
    HWND h = link.GetHWND();

    const OpenCase cases[] = {
        {"inside", {20, 10}, {30, 12}, 1},
        {"released outside", {20, 10}, {200, 10}, 0},
        {"released at x = width", {20, 10}, {110, 10}, 1},
        {"released at y = height", {20, 10}, {20, 20}, 1},
        {"released at x = -1", {20, 10}, {-1, 10}, 0},
        {"released at y = -1", {20, 10}, {20, -1}, 0},
    };
    size_t expected = 0;
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        SendPress(h, c.press.x, c.press.y);
        EXPECT_EQ(GetCapture(), h);
        SendRelease(h, c.release.x, c.release.y);
        EXPECT_EQ(GetCapture(), nullptr);
        expected += c.opens;
        ASSERT_EQ(shellCalls.size(), expected);
    }
    // A release without a press, and the right button, open nothing.
    SendRelease(h, 20, 10);
    SendMessageW(h, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(20, 10));
    SendMessageW(h, WM_RBUTTONUP, 0, MAKELPARAM(20, 10));
    // A double click is two press and release pairs: two opens. The label's
    // text never changes the address.
    link.SetText(KString(L"something else"));
    for (int i = 0; i < 2; ++i) {
        SendPress(h, 5, 5);
        SendRelease(h, 5, 5);
    }
    expected += 2;
    ASSERT_EQ(shellCalls.size(), expected);
    for (const ShellCall& call : shellCalls) {
        EXPECT_EQ(call.owner, nullptr);
        EXPECT_EQ(call.verb, L"open");
        EXPECT_EQ(call.file, StationBaseUrl);
        EXPECT_TRUE(call.noParameters);
        EXPECT_TRUE(call.noDirectory);
        EXPECT_EQ(call.show, SW_SHOW);
    }

    // What really reached the handler: the exact address, once per open.
    for (const ShellCall& call : shellCalls) {
        EXPECT_GT(call.result, 32) << "ShellExecuteW reported a failure";
    }
    const std::vector<std::string> opened = WaitForRecords(expected);
    EXPECT_EQ(opened, std::vector<std::string>(expected, Narrow(StationBaseUrl)));
}

TEST_F(FLinkLabelTest, HasTheHandCursorAndItsDefaults) {
    FLinkLabel link;
    EXPECT_STREQ(link.GetText(), L"???");
    EXPECT_EQ(link.GetWidth(), 110);
    EXPECT_EQ(link.GetHeight(), 20);
    HostWindow host;
    ASSERT_TRUE(host.AddComponent(&link));
    EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrW(link.GetHWND(), GCLP_HCURSOR)),
              LoadCursorW(nullptr, IDC_HAND));
}

} // namespace
