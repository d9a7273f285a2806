// The platform's cost of playing: keeps a waveOut ring of the player's shape
// (10 buffers of 1,024 frames, 44.1 kHz 16-bit stereo) fed with silence, woken
// by the device's event, and does nothing else. The playback benchmark measures
// it beside the player. Runs for the seconds given on its command line.
#include <windows.h>

#include <mmsystem.h>

#include <cstdint>
#include <cstdlib>

namespace {
constexpr int kBuffers = 10;
constexpr DWORD kFrames = 1024;
int16_t samples[kBuffers][kFrames * 2]; // silence
} // namespace

int main(int argc, char** argv) {
    const DWORD seconds = argc > 1 ? static_cast<DWORD>(atoi(argv[1])) : 30;
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
