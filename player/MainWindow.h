#pragma once
// MainWindow: the whole visible player. It owns the controls and listens to them,
// it is the worker thread whose Run is the playback cycle, and it listens to the
// end-of-track timer. Built, shown and destroyed by RunMainWindow.

#include <windows.h>
#include <wininet.h>

#include <atomic>

#include "AudioEngine.h"
#include "FButton.h"
#include "FButtonListener.h"
#include "FCheckBox.h"
#include "FCheckBoxListener.h"
#include "FLinkLabel.h"
#include "FPictureBox.h"
#include "FStaticTextBox.h"
#include "FTrackBar.h"
#include "FTrackBarListener.h"
#include "FWindow.h"
#include "KIcon.h"
#include "KThread.h"
#include "KTimer.h"

// StationBaseUrl followed by the module's name from the station's answer
// (FetchRules' TrackName), unchanged.
KString MakeTrackUrl(const KString& answer);

class InternetReader;

class MainWindow : public FWindow,
                   public FButtonListener,
                   public FTrackBarListener,
                   public FCheckBoxListener,
                   public KThread,
                   public KTimerListener {
  public:
    MainWindow();
    ~MainWindow() override;

    void OnClose() override;
    void OnButtonPress(FButton* sender) override;
    void OnTrackBarChange(FTrackBar* sender) override;
    void OnCheckBoxChange(FCheckBox* sender) override;
    void Run() override;
    void OnTimer(KTimer* sender) override;

  protected:
    // Downloads the station's next module into `buffer` (one of the two track
    // buffers) on the worker thread; the title box shows "buffering..." meanwhile.
    bool FetchTrack(unsigned char* buffer);
    // Reads an opened module request to its end into `buffer` and closes it;
    // false when no byte came, the body did not fit, or the stop flag was seen.
    bool DownloadToBuffer(unsigned char* buffer, InternetReader& reader);
    // The track start: loads the module in `buffer` into musicHandle (0 when it
    // fails), then attaches the gain control, sets the volume, plays it and shows
    // its title.
    void LoadTrack(unsigned char* buffer);
    void PlayLoadedTrack();
    // Starts the playback cycle on a new worker; when no thread can be made,
    // starts the timer instead, so that its next tick tries again.
    void StartWorker();
    // A modal error box owned by this window, from the worker; none once the
    // window is closing.
    void ShowWorkerError(const KString& text);

    // Written by the worker, read by the interface thread (timer poll, volume,
    // shutdown): atomic.
    std::atomic<HMUSIC> musicHandle;
    HINTERNET internetHandle; // opened at construction, closed by OnClose
    bool nextInBufferB;       // worker threads only, one after the other
    bool isFirstRun;          // worker threads only, one after the other
    FButton closeButton;
    FButton minimizeButton;
    FStaticTextBox titleBox;
    FLinkLabel linkLabel;
    FCheckBox agcCheckBox;
    FTrackBar volumeTrackBar;
    FPictureBox pictureBox;
    KTimer trackEndTimer;
    KIcon windowIcon;

    // The worker's thread id while it runs (for dismissing its box at shutdown).
    std::atomic<DWORD> workerThreadId;
    bool isClosing; // interface thread only: the shutdown has begun
};
