// The playback cycle: one worker per track plays the module waiting in one buffer
// and refills the other; the timer notices the end; closing stops it all.
#include "MainWindow.h"

#include "Agc.h"
#include "InternetReader.h"
#include "TrackBuffers.h"

namespace {
// Software mixing, volume ramping, stop at a backward jump, sinc interpolation:
// 16-bit stereo output that ends instead of looping.
const DWORD ModuleLoadFlags = 0x880410;

const wchar_t kErrorCaption[] = L"Error";

// Dismisses a message box among the windows it is given (the worker's error box).
BOOL CALLBACK DismissBox(HWND window, LPARAM) {
    wchar_t cls[16] = {};
    GetClassNameW(window, cls, 16);
    if (lstrcmpW(cls, L"#32770") == 0) {
        PostMessageW(window, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}
} // namespace

void MainWindow::ShowWorkerError(const KString& text) {
    if (threadShouldStop) {
        return;
    }
    MessageBoxW(GetHWND(), text, kErrorCaption, MB_ICONERROR | MB_OK);
}

void MainWindow::LoadTrack(unsigned char* buffer) {
    // Always the whole buffer: the zeros behind the module are part of the deal.
    musicHandle =
        BASS_MusicLoad(TRUE, buffer, 0, static_cast<DWORD>(trackBufferSize), ModuleLoadFlags, 0);
}

void MainWindow::PlayLoadedTrack() {
    BASS_ChannelSetDSP(musicHandle, AgcDspProc, nullptr, 0);
    BASS_ChannelSetAttribute(musicHandle, BASS_ATTRIB_VOL,
                             static_cast<float>(volumeTrackBar.GetValue() / 100.0));
    BASS_ChannelPlay(musicHandle, FALSE);
    KString title(BASS_ChannelGetTags(musicHandle, BASS_TAG_MUSIC_NAME));
    if (title.IsEmpty()) {
        title = L"  ???";
    }
    titleBox.SetText(title);
}

void MainWindow::Run() {
    workerThreadId = GetCurrentThreadId();
    if (isFirstRun) {
        if (FetchTrack(trackBufferA) && FetchTrack(trackBufferB)) {
            LoadTrack(trackBufferA);
            if (musicHandle == 0) {
                int code = BASS_ErrorGetCode();
                ShowWorkerError(L"Corrupted file! Error Code:" + KString(code) +
                                KString("\n\nMake sure that your firewall is not blocking this "
                                        "application!"));
            } else {
                PlayLoadedTrack();
                nextInBufferB = true;
                trackEndTimer.StartTimer();
            }
        }
        isFirstRun = false;
    } else {
        BASS_MusicFree(musicHandle);
        unsigned char* refill;
        // A load that fails here is not looked at: the handle stays 0, the calls
        // on it do nothing, and the next poll skips the track.
        if (nextInBufferB) {
            LoadTrack(trackBufferB);
            PlayLoadedTrack();
            nextInBufferB = false;
            refill = trackBufferA;
        } else {
            LoadTrack(trackBufferA);
            PlayLoadedTrack();
            nextInBufferB = true;
            refill = trackBufferB;
        }
        if (FetchTrack(refill)) {
            trackEndTimer.StartTimer();
        }
    }
    workerThreadId = 0;
    isThreadRunning = false; // the very last step: the window may go once it is clear
}

void MainWindow::OnTimer(KTimer*) {
    // A worker held up between starting the timer and clearing its flag still
    // runs: a second one beside it would share the flag, so the next tick retries.
    if (isClosing || isThreadRunning || BASS_ChannelIsActive(musicHandle) != BASS_ACTIVE_STOPPED) {
        return;
    }
    trackEndTimer.StopTimer();
    StartWorker();
}

void MainWindow::StartWorker() {
    // With no worker, nothing would start the timer again: the next tick retries.
    if (!StartThread()) {
        trackEndTimer.StartTimer();
    }
}

void MainWindow::OnClose() {
    if (isClosing) {
        return; // a second close while the first waits for the worker
    }
    isClosing = true;
    trackEndTimer.StopTimer();
    ThreadShouldStop();
    // The wait dispatches messages: a worker's box is owned by this window, and
    // opening or closing it needs this thread's answer. A box already open is
    // dismissed; no new one opens once the stop flag is set.
    while (isThreadRunning) {
        DWORD worker = workerThreadId;
        if (worker != 0) {
            EnumThreadWindows(worker, DismissBox, 0);
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(10);
    }
    if (musicHandle != 0) {
        BASS_MusicFree(musicHandle);
    }
    BASS_Free();
    CloseInternetSession(internetHandle); // tolerates a session that never opened
    DestroyWindow(GetHWND());
}
