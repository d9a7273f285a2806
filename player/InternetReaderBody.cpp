// The body reader: pieces of at most kPieceBytes, the announced length as the
// end, every wait in slices that watch the stop flag.
#include "InternetReader.h"

#include <cstring>

#include "InternetRequest.h"

bool InternetReader::Read(void* dest, DWORD size, DWORD* count, const std::atomic<bool>& stop) {
    *count = 0;
    if (failed_) {
        return false;
    }
    if (state_ == nullptr || request_ == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    for (;;) {
        // Reaching the announced length is the end, at once: whatever follows
        // on the connection is not this body's.
        if (length_.known && delivered_ >= length_.bytes) {
            ended_ = true;
            return true;
        }
        // Wine 8 answers at once with the bytes buffered (0 only at the end of
        // the body), or goes pending and later writes the count it was given.
        state_->pending = true;
        if (!InternetQueryDataAvailable(request_, &state_->available, 0, 0)) {
            if (!AwaitPendingCall(stop)) {
                return false;
            }
            if (state_->result == 0) {
                return Fail(state_->error);
            }
            // Ask again: now it answers at once.
            continue;
        }
        state_->pending = false;
        const DWORD available = state_->available;
        if (available == 0) {
            if (length_.known) {
                return Fail(ERROR_INTERNET_CONNECTION_RESET); // short of its length
            }
            ended_ = true;
            return true; // the real end of the body
        }
        DWORD want = available < size ? available : size;
        want = want < kPieceBytes ? want : kPieceBytes;
        if (length_.known && length_.bytes - delivered_ < want) {
            want = static_cast<DWORD>(length_.bytes - delivered_);
        }
        // Asked for no more than is buffered, the read completes at once; asked
        // for more, it may go pending and fill the piece from WinINet's thread,
        // even after an abandon, so the piece lives in the request state.
        // (InternetReadFileExW is not used: in Windows' own WinINet it was long a
        // stub failing with ERROR_CALL_NOT_IMPLEMENTED.)
        state_->received = 0;
        state_->pending = true;
        if (!InternetReadFile(request_, state_->piece, want, &state_->received)) {
            if (!AwaitPendingCall(stop)) {
                return false;
            }
            if (state_->result == 0) {
                return Fail(state_->error);
            }
        }
        state_->pending = false;
        const DWORD got = state_->received < want ? state_->received : want;
        if (got > 0) {
            memcpy(dest, state_->piece, got);
            *count = got;
            delivered_ += got;
            lastDataTick_ = GetTickCount();
            return true;
        }
        // Data was reported but none came: not the end. Wait a slice before
        // asking again rather than spin.
        if (stop) {
            return Fail(ERROR_CANCELLED);
        }
        if (GetTickCount() - lastDataTick_ >= stallLimitMs_) {
            return Fail(ERROR_INTERNET_TIMEOUT);
        }
        Sleep(kSliceMs);
    }
}
