#include "TrackBuffers.h"

#include <cstdlib>

unsigned char* trackBufferA = nullptr;
unsigned char* trackBufferB = nullptr;

bool AllocateTrackBuffers() {
    trackBufferA = static_cast<unsigned char*>(std::malloc(trackBufferSize));
    trackBufferB = static_cast<unsigned char*>(std::malloc(trackBufferSize));
    if (trackBufferA == nullptr || trackBufferB == nullptr) {
        FreeTrackBuffers();
        return false;
    }
    return true;
}

void FreeTrackBuffers() {
    std::free(trackBufferA);
    std::free(trackBufferB);
    trackBufferA = nullptr;
    trackBufferB = nullptr;
}
