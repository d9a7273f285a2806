#pragma once
// The two download buffers of the playback cycle. The worker thread fills one
// while the audio library plays from the other; a buffer is refilled only after
// the music loaded from it has been freed, which is what keeps the threads apart.

#include <cstddef>

const std::size_t trackBufferSize = 0x100000; // one module file, at most 1 MiB

extern unsigned char* trackBufferA;
extern unsigned char* trackBufferB;

// Takes A, then B, from the C heap, contents uninitialised. False when either
// cannot be had; then neither is kept, so no half-ready pair goes on.
bool AllocateTrackBuffers();
// Frees A, then B, and clears both pointers.
void FreeTrackBuffers();
