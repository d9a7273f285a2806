#pragma once
// The creation and release sequences of the player-wide values: the flat theme
// and the two track buffers. The application runs the first before any window
// exists and the second after the main window is gone.

// Theme, then buffer A, then buffer B. When a buffer cannot be allocated the
// program stops here with a message box: nothing may run without its buffers.
void CreatePlayerResources();
// Theme brushes, then buffer A, then buffer B.
void ReleasePlayerResources();

// The text shown when the track buffers cannot be allocated.
extern const wchar_t trackBufferFailureText[];
