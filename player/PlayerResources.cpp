#include "PlayerResources.h"

#include <windows.h>

#include "FlatTheme.h"
#include "TrackBuffers.h"

const wchar_t trackBufferFailureText[] =
    L"Sonvale cannot start: there is not enough memory for its two 1 MiB track buffers.";

void CreatePlayerResources() {
    CreateFlatTheme();
    if (!AllocateTrackBuffers()) {
        // No window exists yet, so the box has no owner.
        MessageBoxW(nullptr, trackBufferFailureText, L"Error", MB_ICONERROR | MB_OK);
        ReleaseFlatTheme();
        ExitProcess(1);
    }
}

void ReleasePlayerResources() {
    ReleaseFlatTheme();
    FreeTrackBuffers();
}
