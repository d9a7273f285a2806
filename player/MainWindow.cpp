#include "MainWindow.h"

#include "Agc.h"
#include "InternetReader.h"

namespace {
const WORD kIconResource = 102;
const UINT kTrackEndPollMs = 2000;
} // namespace

MainWindow::MainWindow()
    : musicHandle(0), internetHandle(nullptr), nextInBufferB(false), isFirstRun(false),
      workerThreadId(0), isClosing(false) {
    CreateComponent();

    windowIcon.LoadFromResource(kIconResource);
    SetIcon(&windowIcon);
    SetText(KString(L"Sonvale"));
    SetSize(409, 170);

    closeButton.SetText(KString(L"x"));
    closeButton.SetSize(15, 16);
    closeButton.SetPosition(380, 15);
    closeButton.SetListener(this);
    AddComponent(&closeButton);

    minimizeButton.SetText(KString(L"_"));
    minimizeButton.SetSize(15, 16);
    minimizeButton.SetPosition(360, 15);
    minimizeButton.SetListener(this);
    AddComponent(&minimizeButton);

    titleBox.SetPosition(125, 50);
    titleBox.SetText(KString(L"???"));
    AddComponent(&titleBox);

    linkLabel.SetPosition(125, 108);
    linkLabel.SetText(KString(L"Quorvane"));
    AddComponent(&linkLabel);

    agcCheckBox.SetPosition(285, 111);
    agcCheckBox.SetText(KString(L"AGC"));
    agcCheckBox.SetListener(this);
    AddComponent(&agcCheckBox);
    agcCheckBox.SetChecked(true);

    volumeTrackBar.SetPosition(125, 80);
    volumeTrackBar.SetListener(this);
    AddComponent(&volumeTrackBar);
    volumeTrackBar.SetValue(50);

    pictureBox.SetPosition(30, 40);
    AddComponent(&pictureBox);

    // A failure here shows later, as the first track's load error.
    BASS_Init(-1, 44100, 0, GetHWND(), nullptr);

    // Asynchronous mode, so a stalled download can be abandoned when the window closes.
    internetHandle = OpenInternetSession();
    if (internetHandle == nullptr) {
        MessageBoxW(GetHWND(), L"Connection error!", L"Error", MB_ICONERROR);
        return;
    }
    isFirstRun = true;
    trackEndTimer.SetTimerWindow(this);
    trackEndTimer.SetInterval(kTrackEndPollMs);
    trackEndTimer.SetListener(this);
    StartWorker();
}

MainWindow::~MainWindow() {
    // The loop can end without a close (a WM_QUIT from elsewhere). The window goes
    // first, with its worker, while the members it shows and uses still exist.
    if (IsWindow(GetHWND())) {
        OnClose();
    }
}

void MainWindow::OnButtonPress(FButton* sender) {
    if (sender == &closeButton) {
        OnClose();
    } else if (sender == &minimizeButton) {
        SendMessageW(GetHWND(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    }
}

void MainWindow::OnTrackBarChange(FTrackBar* sender) {
    if (sender == &volumeTrackBar) {
        BASS_ChannelSetAttribute(musicHandle, BASS_ATTRIB_VOL,
                                 static_cast<float>(volumeTrackBar.GetValue() / 100.0));
    }
}

void MainWindow::OnCheckBoxChange(FCheckBox* sender) {
    if (sender == &agcCheckBox) {
        agcEnabled = agcCheckBox.IsChecked();
    }
}
