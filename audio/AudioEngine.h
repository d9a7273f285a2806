#pragma once
// Sonvale's audio engine: plays tracker modules (decoded by libopenmpt) through
// the sound card (winmm waveOut) or through a silent, clock-paced device.
//
// Threads. Every function may be called from any thread, also at the same time
// as the others. The engine runs one mixing thread of its own between BASS_Init
// and BASS_Free; DSP callbacks run on it. A DSP callback must return quickly. It
// may call the other functions, except BASS_Init, BASS_Free, and BASS_MusicFree,
// BASS_ChannelSetDSP or a restarting BASS_ChannelPlay on its own channel: those
// wait for the mixing thread or for the very render the callback is part of.
//
// Ownership. The engine copies what it needs from the bytes given to
// BASS_MusicLoad; the caller may reuse its buffer as soon as the call returns.
// The text returned by BASS_ChannelGetTags belongs to the engine and stays valid
// until the music is freed. Handles are 32-bit numbers; 0 is never a handle, and
// a freed handle never becomes valid again, not even after BASS_Free and a new
// BASS_Init.
//
// Errors. Nothing throws across these functions. A failing call returns FALSE,
// 0 or null and records an error code (BASS_ERROR_*) for the calling thread;
// BASS_ErrorGetCode returns it. A successful call records BASS_OK.

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
typedef uint32_t DWORD;
typedef int BOOL;
typedef void* HWND;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#ifndef CALLBACK
#define CALLBACK
#endif
#endif

typedef uint64_t QWORD;
typedef DWORD HMUSIC;   // a loaded module; also usable as an HCHANNEL
typedef DWORD HCHANNEL; // anything that plays
typedef DWORD HDSP;     // a DSP callback attached to a channel

// Runs on the mixing thread with each block of the channel's output: `length`
// bytes of signed 16-bit interleaved stereo at the output rate, which the
// callback may change in place. The block comes before the channel volume and
// before mixing.
typedef void(CALLBACK DSPPROC)(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);

// Error codes.
#define BASS_OK 0
#define BASS_ERROR_MEM 1
#define BASS_ERROR_FILEOPEN 2
#define BASS_ERROR_DRIVER 3
#define BASS_ERROR_HANDLE 5
#define BASS_ERROR_FORMAT 6
#define BASS_ERROR_INIT 8
#define BASS_ERROR_ALREADY 14
#define BASS_ERROR_ILLTYPE 19
#define BASS_ERROR_ILLPARAM 20
#define BASS_ERROR_DEVICE 23
#define BASS_ERROR_NOTAVAIL 37
#define BASS_ERROR_FILEFORM 41
#define BASS_ERROR_UNKNOWN -1

// Load flags. Any other bit makes BASS_MusicLoad fail with BASS_ERROR_ILLPARAM.
#define BASS_SAMPLE_LOOP 4 // repeat the music forever
#define BASS_MUSIC_LOOP BASS_SAMPLE_LOOP
#define BASS_SAMPLE_SOFTWARE 0x10     // accepted; all mixing is in software anyway
#define BASS_MUSIC_RAMPS 0x400        // volume ramping
#define BASS_MUSIC_STOPBACK 0x80000   // end where the song jumps back
#define BASS_MUSIC_SINCINTER 0x800000 // 8-tap windowed sinc instead of linear interpolation

// Channel attributes and tags.
#define BASS_ATTRIB_VOL 2
#define BASS_TAG_MUSIC_NAME 0x10000

// Channel activity.
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1
#define BASS_ACTIVE_STALLED 2
#define BASS_ACTIVE_PAUSED 3

#ifdef __cplusplus
extern "C" {
#endif

// device: -1 the default output, 0 the "no sound" device (paced by a clock),
// n >= 1 the n-th output device. freq: output rate in Hz. flags: must be 0.
// win and clsid are not used. Output is 16-bit stereo.
BOOL BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void* clsid);
// Stops output, frees every music, ends the mixing thread and closes the device.
BOOL BASS_Free(void);
// The last error of the calling thread.
int BASS_ErrorGetCode(void);

// mem TRUE: `file` points at `length` bytes of module (from `offset`). mem FALSE:
// `file` is a file name in the ANSI code page; `length` 0 reads to the end.
// freq must be 0 (the output rate) or the output rate.
HMUSIC BASS_MusicLoad(BOOL mem, const void* file, QWORD offset, DWORD length, DWORD flags,
                      DWORD freq);
// After it returns, none of the music's DSP callbacks runs again.
BOOL BASS_MusicFree(HMUSIC handle);

// Several DSPs on one channel run from the highest priority down; equal
// priorities in the order they were set.
HDSP BASS_ChannelSetDSP(DWORD handle, DSPPROC* proc, void* user, int priority);
// BASS_ATTRIB_VOL: 0.0 to 1.0 (clamped), ramped in over one mixing block.
BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
// Starts or resumes; restart TRUE (or a music that has ended) starts from the top.
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
// BASS_ACTIVE_PLAYING until the music has ended and its last block has left the
// device, then BASS_ACTIVE_STOPPED (also for handle 0 and freed handles).
DWORD BASS_ChannelIsActive(DWORD handle);
// BASS_TAG_MUSIC_NAME: the title in the ANSI code page, or null if it has none.
const char* BASS_ChannelGetTags(DWORD handle, DWORD tags);

#ifdef __cplusplus
}
#endif
