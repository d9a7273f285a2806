#include "SonvaleApp.h"

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
    MainWindow window;
    window.CenterScreen();
    window.SetVisible(true);
    RunMessageLoop();
}
