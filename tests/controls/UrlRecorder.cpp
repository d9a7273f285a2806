// Stands in for the browser in the link label tests: the Wine prefix's http
// handler is pointed here, and every URL the shell opens is written, in UTF-8,
// to a new file of its own in the folder named by the first argument. One file
// per open: two recorders started by a double click run at the same time, and
// appends to one file could overwrite each other.
#include <windows.h>

#include <shellapi.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) {
        return 2;
    }
    char url[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, url, sizeof(url), nullptr, nullptr);
    if (n <= 0) {
        return 3;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 1000 && file == INVALID_HANDLE_VALUE; ++attempt) {
        const std::wstring name = std::wstring(argv[1]) + L"\\opened-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(attempt) + L".txt";
        file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        return 4;
    }
    DWORD written = 0;
    WriteFile(file, url, static_cast<DWORD>(n - 1), &written, nullptr);
    CloseHandle(file);
    LocalFree(argv);
    return 0;
}
