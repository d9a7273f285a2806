#include "SonvaleApp.h"

#include <objbase.h>

#include "KMessageLoop.h"
#include "MainWindow.h"
#include "PlayerResources.h"

int SonvaleApp::Run(KString**, int) {
    CreatePlayerResources();
    RunMainWindow();
    ReleasePlayerResources();
    return 0;
}

void RunMainWindow() {
    // The link label opens the station's page with ShellExecuteW, which may hand
    // the work to COM objects of the shell: it asks for a single-threaded
    // apartment on the calling thread, for as long as the window lives.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    {
        MainWindow window;
        window.CenterScreen();
        window.SetVisible(true);
        RunMessageLoop();
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
}
