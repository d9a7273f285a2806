// The program's entry: the framework around the application object.
#include <windows.h>

#include <shellapi.h>

#include <new>

#include "KRuntime.h"
#include "SonvaleApp.h"
#include "SystemLibraries.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    if (!LoadSystemLibraries()) { // before anything can load a DLL by name or call into one
        return 1;                 // the box has named what is missing
    }
    FrameworkInit(instance);

    int argc = 0;
    LPWSTR* argvW = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argvW == nullptr) {
        argc = 0;
    }
    int result = 1; // the program could not even start: no window was opened
    KString** args = new (std::nothrow) KString*[argc > 0 ? argc : 1];
    if (args != nullptr) {
        for (int i = 0; i < argc; ++i) {
            args[i] = new (std::nothrow) KString(argvW[i] != nullptr ? argvW[i] : L"");
        }
        SonvaleApp* app = new (std::nothrow) SonvaleApp();
        if (app != nullptr) {
            result = app->Run(args, argc);
            delete app;
        }
    }

    FrameworkShutdown();

    if (args != nullptr) {
        for (int i = 0; i < argc; ++i) {
            delete args[i];
        }
        delete[] args;
    }
    if (argvW != nullptr) {
        GlobalFree(argvW);
    }
    return result;
}
