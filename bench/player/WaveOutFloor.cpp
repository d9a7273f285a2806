// The platform's cost of playing: keeps a waveOut ring of the player's shape
// (10 buffers of 1,024 frames, 44.1 kHz 16-bit stereo) fed with silence, woken
// by the device's event, and does nothing else. The playback benchmark measures
// it beside the player. Runs for the seconds given on its command line.
// With "--one-block" it is the floor of launch to sound instead: it opens the
// device, writes one loud block, and ends once the device hands it back. With
// "--window-block" it first creates and shows a window of the player's size, as
// the player must before its sound (under Wine that is the X11 connection).
#include <windows.h>

#include <mmsystem.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int kBuffers = 10;
constexpr DWORD kFrames = 1024;
int16_t samples[kBuffers][kFrames * 2]; // silence

// A plain window of the player's size, centred and shown, its first messages handled.
void ShowPlayerSizedWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = L"WaveOutFloor";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(WS_EX_APPWINDOW, wc.lpszClassName, L"floor", WS_POPUP,
                                  (GetSystemMetrics(SM_CXSCREEN) - 409) / 2,
                                  (GetSystemMetrics(SM_CYSCREEN) - 170) / 2, 409, 170, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
}
} // namespace

int main(int argc, char** argv) {
    const bool window = argc > 1 && strcmp(argv[1], "--window-block") == 0;
    const bool oneBlock = window || (argc > 1 && strcmp(argv[1], "--one-block") == 0);
    if (window) {
        ShowPlayerSizedWindow();
    }
    const DWORD seconds = argc > 1 && !oneBlock ? static_cast<DWORD>(atoi(argv[1])) : 30;
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = 44100;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 4;
    format.nAvgBytesPerSec = 44100 * 4;
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HWAVEOUT out = nullptr;
    if (waveOutOpen(&out, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(done), 0,
                    CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        return 1;
    }
    WAVEHDR headers[kBuffers] = {};
    if (oneBlock) {
        for (DWORD i = 0; i < kFrames * 2; ++i) {
            samples[0][i] = (i / 100) % 2 ? 16000 : -16000; // a square wave of 220 Hz
        }
        headers[0].lpData = reinterpret_cast<LPSTR>(samples[0]);
        headers[0].dwBufferLength = kFrames * 4;
        waveOutPrepareHeader(out, &headers[0], sizeof headers[0]);
        waveOutWrite(out, &headers[0], sizeof headers[0]);
        for (int waited = 0; !(headers[0].dwFlags & WHDR_DONE) && waited < 20; ++waited) {
            WaitForSingleObject(done, 100);
        }
        waveOutUnprepareHeader(out, &headers[0], sizeof headers[0]);
        waveOutClose(out);
        return 0;
    }
    for (int i = 0; i < kBuffers; ++i) {
        headers[i].lpData = reinterpret_cast<LPSTR>(samples[i]);
        headers[i].dwBufferLength = kFrames * 4;
        waveOutPrepareHeader(out, &headers[i], sizeof headers[i]);
        waveOutWrite(out, &headers[i], sizeof headers[i]);
    }
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < seconds * 1000) {
        WaitForSingleObject(done, 100);
        for (WAVEHDR& h : headers) {
            if (h.dwFlags & WHDR_DONE) {
                h.dwFlags &= ~WHDR_DONE;
                waveOutWrite(out, &h, sizeof h);
            }
        }
    }
    waveOutReset(out);
    for (WAVEHDR& h : headers) {
        waveOutUnprepareHeader(out, &h, sizeof h);
    }
    waveOutClose(out);
    CloseHandle(done);
    return 0;
}
