// The entry's loading of winmm and wininet, in a program built like the player
// (delay-loaded imports) that has DLLs of those names planted beside it, which it
// must never load. One row a process: the imports are filled once.
#include "SystemLibraries.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <mmsystem.h>
#include <wininet.h>

#include <cstring>
#include <string>
#include <tuple>

#include "ApiHook.h"

namespace {

struct Row {
    const char* name;
    bool windows7;       // the system has no SetDefaultDllDirectories
    const char* refused; // the DLL whose load from the system folder fails
    const char* missing; // a function that the system's DLL lacks
    const wchar_t* box;  // the error box's text, null for none
};
const Row rows[] = {
    {"SystemFolderOnly", false, nullptr, nullptr, nullptr},
    {"Windows7", true, nullptr, nullptr, nullptr},
    {"Windows7RefusedLoad", true, "wininet.dll", nullptr,
     L"Cannot load wininet.dll from the system folder (for InternetCloseHandle)."},
    {"MissingFunction", false, nullptr, "timeGetTime", L"Cannot find timeGetTime in winmm.dll."},
};

const Row* row = nullptr;
bool lookedUp = false;
std::wstring box; // caption: text type
decltype(&::GetProcAddress) realGetProcAddress;
decltype(&::LoadLibraryExW) realLoadLibraryExW;

FARPROC WINAPI TestGetProcAddress(HMODULE module, LPCSTR name) {
    bool byName = HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0;
    bool setDefault = byName && strcmp(name, "SetDefaultDllDirectories") == 0;
    lookedUp |= setDefault;
    if ((setDefault && row->windows7) || (byName && row->missing && !strcmp(name, row->missing))) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return realGetProcAddress(module, name);
}

HMODULE WINAPI TestLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
    const wchar_t* name = wcsrchr(path, L'\\');
    if (row->refused != nullptr && name != nullptr &&
        std::wstring(name + 1) == std::wstring(row->refused, row->refused + strlen(row->refused))) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return realLoadLibraryExW(path, file, flags);
}

int WINAPI TestMessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    box = std::wstring(caption) + L": " + text + L" " + std::to_wstring(type);
    return IDOK;
}

class SystemLibrariesTest : public testing::TestWithParam<Row> {};

TEST_P(SystemLibrariesTest, ComeFromTheSystemFolderOrABoxNamesWhatIsMissing) {
    row = &GetParam();
    realGetProcAddress = HookImport("kernel32.dll", "GetProcAddress", &TestGetProcAddress);
    realLoadLibraryExW = HookImport("kernel32.dll", "LoadLibraryExW", &TestLoadLibraryExW);
    ASSERT_TRUE(realGetProcAddress && realLoadLibraryExW &&
                HookImport("user32.dll", "MessageBoxW", &TestMessageBoxW));

    const bool loaded = LoadSystemLibraries();
    EXPECT_TRUE(lookedUp);
    EXPECT_EQ(loaded, row->box == nullptr);
    EXPECT_EQ(box, row->box == nullptr ? L""
                                       : L"Error: " + std::wstring(row->box) + L" " +
                                             std::to_wstring(MB_ICONERROR | MB_OK));

    wchar_t path[MAX_PATH], system[MAX_PATH];
    const std::wstring exe(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    const std::wstring systemFolder(system, GetSystemDirectoryW(system, MAX_PATH));
    // Each DLL, a function of it, and what this program calls for it.
    const std::tuple<const wchar_t*, const char*, void*> dlls[] = {
        {L"winmm.dll", "timeGetTime", reinterpret_cast<void*>(&timeGetTime)},
        {L"wininet.dll", "InternetCloseHandle", reinterpret_cast<void*>(&InternetCloseHandle)}};
    for (const auto& [dll, function, import] : dlls) {
        EXPECT_EQ(GetModuleHandleW((exe.substr(0, exe.rfind(L'\\') + 1) + dll).c_str()), nullptr)
            << "the planted " << dll << " was loaded";
        HMODULE fromSystem = GetModuleHandleW((systemFolder + L"\\" + dll).c_str());
        if (loaded) {
            ASSERT_NE(fromSystem, nullptr) << dll;
            EXPECT_EQ(import, reinterpret_cast<void*>(realGetProcAddress(fromSystem, function)))
                << function;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, SystemLibrariesTest, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

} // namespace
