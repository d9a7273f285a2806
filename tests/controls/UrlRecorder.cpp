// Stands in for the browser in the link label tests: the Wine prefix's http
// handler is pointed here, and every URL the shell opens is appended, one per
// line in UTF-8, to the file named by the first argument.
#include <windows.h>

#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) {
        return 2;
    }
    char url[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, url, sizeof(url) - 1, nullptr, nullptr);
    if (n <= 0) {
        return 3;
    }
    url[n - 1] = '\n';
    // Appends are whole: a double click's two recorders may run at once.
    HANDLE file = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 4;
    }
    DWORD written = 0;
    WriteFile(file, url, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
    LocalFree(argv);
    return 0;
}
