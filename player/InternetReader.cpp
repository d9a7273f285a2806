#include "InternetReader.h"

#include <cstring>
#include <new>
#include <vector>

// What Wine 8's asynchronous WinINet does, found by experiment (it decides the
// shape of this file):
// - InternetOpenUrlW always answers ERROR_IO_PENDING; REQUEST_COMPLETE then
//   carries the request handle in dwResult, or 0 and the error in dwError. A
//   request that failed that way stays open until it is closed: its handle is
//   only known from HANDLE_CREATED (dwResult), so it is kept from there.
// - InternetQueryDataAvailable answers at once with the bytes buffered, TRUE
//   with 0 only at the end of the body, or ERROR_IO_PENDING and later a
//   REQUEST_COMPLETE, after which it writes the count it was given. Then
//   InternetReadFile, asked for no more than is buffered, completes at once;
//   asked for more, it goes pending and fills the buffer from WinINet's own
//   thread, possibly after an abandon. So whatever WinINet may write (counts,
//   the piece read) lives in the request state, never on the worker's stack.
//   (InternetReadFileExW is not used: in Windows' own WinINet it was long a
//   stub failing with ERROR_CALL_NOT_IMPLEMENTED.)
// - A connection reset mid-body comes as WSAECONNRESET or, depending on
//   timing, exactly like the end of the body (TRUE with 0): only the
//   Content-Length tells them apart. Without one (chunked, or ended by the
//   close) such a reset can pass for the end.
// - An abandoned request's connection goes into WinINet's keep-alive pool once
//   the server ends it, for a minute, or until the next request to that server
//   finds it dead. A finished one goes there at once, with whatever the server
//   sent past the announced length still unread in it: the next request would
//   read that as its answer. INTERNET_OPTION_SETTINGS_CHANGED empties the pool.
// - Closing a request whose body is not read to its end first reads out the
//   rest, to keep the connection, for as long as data keeps arriving: from a
//   server that sends without end, without end (inside InternetCloseHandle, or
//   of the root handle, which closes what is left under it). Nothing else
//   drops a live connection, so such a request is never closed.
// - Closing the handle of a request whose operation is outstanding on a
//   stalled connection returns at once, but neither REQUEST_COMPLETE nor
//   HANDLE_CLOSING comes until the connection ends (the server closes it). An
//   idle request reports HANDLE_CLOSING inside InternetCloseHandle or a moment
//   later on a WinINet thread.

// Shared by the worker (through its reader) and WinINet's callback. The
// reference count protects the memory: one reference belongs to the reader
// and is dropped in Close, one belongs to WinINet and is dropped when
// HANDLE_CLOSING arrives, so a late callback always finds it alive. The other
// fields are atomics written by the callback and read by the worker; the event
// (auto-reset) wakes the worker after a REQUEST_COMPLETE or HANDLE_CLOSING.
struct InternetRequestState {
    std::atomic<LONG> refs{2};
    HANDLE event = nullptr;
    std::atomic<HINTERNET> handle{nullptr};
    std::atomic<bool> pending{false};
    std::atomic<DWORD_PTR> result{0};
    std::atomic<DWORD> error{0};
    std::atomic<bool> closed{false};
    // Set by Close: the reader is gone. An open that completes after it is
    // closed by the callback.
    std::atomic<bool> orphaned{false};
    // Whoever sets it closes the handle: Close or the callback, never both.
    std::atomic<bool> closeClaimed{false};
    // What WinINet writes for a query or a read. A call that went pending writes
    // here from WinINet's thread before its REQUEST_COMPLETE, which clears
    // `pending`; the worker reads them only after seeing it clear (the atomic
    // orders them), and a late write after an abandon lands in live memory.
    DWORD available = 0;
    DWORD received = 0;
    unsigned char piece[InternetReader::kPieceBytes];
};

namespace {

std::atomic<LONG> liveStates{0};
// Requests set aside unclosed (see Close); any thread may look.
std::atomic<LONG> requestsSetAside{0};

InternetRequestState* NewState() {
    auto* state = new (std::nothrow) InternetRequestState;
    if (state == nullptr) {
        return nullptr;
    }
    state->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (state->event == nullptr) {
        delete state;
        return nullptr;
    }
    ++liveStates;
    return state;
}

void Release(InternetRequestState* state) {
    if (--state->refs == 0) {
        CloseHandle(state->event);
        delete state;
        --liveStates;
    }
}

void CloseRequestOnce(InternetRequestState* state, HINTERNET request) {
    if (!state->closeClaimed.exchange(true)) {
        InternetCloseHandle(request);
    }
}

void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
    // Only request handles carry a context; the root's is 0.
    auto* state = reinterpret_cast<InternetRequestState*>(context);
    if (state == nullptr) {
        return;
    }
    switch (status) {
    case INTERNET_STATUS_HANDLE_CREATED: {
        auto* created = static_cast<INTERNET_ASYNC_RESULT*>(info);
        state->handle = reinterpret_cast<HINTERNET>(created->dwResult);
        break;
    }
    case INTERNET_STATUS_REQUEST_COMPLETE: {
        auto* done = static_cast<INTERNET_ASYNC_RESULT*>(info);
        state->result = done->dwResult;
        state->error = done->dwError;
        state->pending = false;
        SetEvent(state->event);
        // An open abandoned before WinINet named its handle: close it here,
        // last (WinINet still holds the state during this callback, and its
        // HANDLE_CLOSING can only follow).
        if (state->orphaned) {
            HINTERNET request = state->handle;
            if (request != nullptr) {
                CloseRequestOnce(state, request);
            }
        }
        break;
    }
    case INTERNET_STATUS_HANDLE_CLOSING:
        // The last callback WinINet makes for this handle.
        if (!state->closed.exchange(true)) {
            SetEvent(state->event);
            Release(state);
        }
        break;
    default:
        break;
    }
}

} // namespace

HINTERNET OpenInternetSession() {
    HINTERNET root = InternetOpenW(L"SONVALE_V2", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                                   INTERNET_FLAG_ASYNC);
    if (root == nullptr) {
        return nullptr;
    }
    if (InternetSetStatusCallbackW(root, StatusCallback) == INTERNET_INVALID_STATUS_CALLBACK) {
        DWORD error = GetLastError();
        InternetCloseHandle(root);
        SetLastError(error);
        return nullptr;
    }
    return root;
}

void CloseInternetSession(HINTERNET root) {
    // The callback stays installed: requests still held by WinINet report their
    // HANDLE_CLOSING through it later, and that frees their state.
    if (root != nullptr && requestsSetAside == 0) {
        InternetCloseHandle(root);
    }
}

InternetReader::InternetReader(DWORD stallLimitMs) : stallLimitMs_(stallLimitMs) {}

InternetReader::~InternetReader() {
    Close();
}

LONG InternetReader::LiveRequestStates() {
    return liveStates.load();
}

bool InternetReader::Fail(DWORD error) {
    failed_ = true;
    lastError_ = error;
    return false;
}

InternetReader::Wait InternetReader::WaitForCompletion(const std::atomic<bool>& stop) {
    while (state_->pending) {
        if (stop) {
            return Wait::Stopped;
        }
        if (GetTickCount() - lastDataTick_ >= stallLimitMs_) {
            return Wait::Stalled;
        }
        WaitForSingleObject(state_->event, kSliceMs);
    }
    return Wait::Done;
}

bool InternetReader::Open(HINTERNET root, const wchar_t* url, DWORD flags,
                          const std::atomic<bool>& stop, RedirectScope scope) {
    // WinINet would follow a redirect loop without end, and go on with it inside
    // an abandoned request: redirects are followed here, a few at most.
    std::wstring address = EscapeControlCharacters(url);
    for (int hop = 0;; ++hop) {
        if (!OpenOnce(root, address.c_str(),
                      flags | kFetchRuleFlags | INTERNET_FLAG_NO_AUTO_REDIRECT, stop)) {
            return false;
        }
        std::wstring target;
        if (!RedirectTarget(address.c_str(), target)) {
            return true;
        }
        Close();
        // A refused target is never handed to WinINet, so nothing of it runs on.
        if (hop == kMaxRedirects || !RedirectAllowed(address.c_str(), target.c_str(), scope)) {
            return Fail(ERROR_HTTP_REDIRECT_FAILED);
        }
        address.swap(target);
    }
}

bool InternetReader::RedirectTarget(const wchar_t* url, std::wstring& target) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!HttpQueryInfoW(request_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        nullptr)) {
        return false;
    }
    if (status != HTTP_STATUS_MOVED && status != HTTP_STATUS_REDIRECT &&
        status != HTTP_STATUS_REDIRECT_METHOD && status != HTTP_STATUS_REDIRECT_KEEP_VERB &&
        status != HTTP_STATUS_PERMANENT_REDIRECT) {
        return false;
    }
    // Without a usable place to go (none, blank, folded away, overlong), the
    // redirect's own body is the answer.
    std::wstring location(256, L'\0');
    size = static_cast<DWORD>(location.size() * sizeof(wchar_t));
    if (!HttpQueryInfoW(request_, HTTP_QUERY_LOCATION, &location[0], &size, nullptr)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        location.resize(size / sizeof(wchar_t) + 1);
        if (!HttpQueryInfoW(request_, HTTP_QUERY_LOCATION, &location[0], &size, nullptr)) {
            return false;
        }
    }
    location.resize(size / sizeof(wchar_t));
    if (!LocationUsable(location)) {
        return false;
    }
    // A relative location counts from the address that answered.
    DWORD length = 0;
    InternetCombineUrlW(url, location.c_str(), nullptr, &length, ICU_NO_ENCODE);
    target.assign(length + 1, L'\0');
    length = static_cast<DWORD>(target.size());
    if (!InternetCombineUrlW(url, location.c_str(), &target[0], &length, ICU_NO_ENCODE)) {
        return false;
    }
    target.resize(length);
    target = EscapeControlCharacters(target);
    return true;
}

bool InternetReader::OpenOnce(HINTERNET root, const wchar_t* url, DWORD flags,
                              const std::atomic<bool>& stop) {
    Close();
    failed_ = false;
    lastError_ = 0;
    delivered_ = 0;
    length_ = BodyLength();
    ended_ = false;
    if (root == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    // Never a kept connection: what an earlier answer left in it would be read
    // as this one (the reader cannot see bytes past an announced length).
    InternetSetOptionW(root, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    state_ = NewState();
    if (state_ == nullptr) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    lastDataTick_ = GetTickCount();
    state_->pending = true;
    HINTERNET request =
        InternetOpenUrlW(root, url, nullptr, 0, flags, reinterpret_cast<DWORD_PTR>(state_));
    if (request == nullptr) {
        if (!AwaitPendingCall(stop)) {
            return false;
        }
        request = reinterpret_cast<HINTERNET>(state_->result.load());
        if (request == nullptr) {
            return Fail(state_->error);
        }
    } else {
        state_->pending = false;
    }
    request_ = request;
    state_->handle = request;

    ReadLength();
    // HTTP makes a response whose framing is broken unusable: closed at once, unread.
    // Windows discards the rest; Wine 8 reads out what the first value's digits say,
    // so Close sets it aside when that could be long (RestMayBeReadOut).
    if (length_.invalid) {
        Close();
        return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    }
    lastDataTick_ = GetTickCount();
    return true;
}

void InternetReader::ReadLength() {
    // Without it a connection reset would pass for the end of the body, and
    // bytes sent beyond it would pass for part of it. Read as text, every
    // value: WinINet's numeric form turns "abc" into 0 and "12abc" into 12.
    std::vector<std::wstring> values;
    for (DWORD index = 0; values.size() < 16;) {
        wchar_t text[64];
        DWORD size = sizeof(text);
        if (!HttpQueryInfoW(request_, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) {
            if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
                values.push_back(L""); // far too long to be a length
            }
            break;
        }
        values.emplace_back(text, size / sizeof(wchar_t));
    }
    wchar_t coding[64];
    DWORD size = sizeof(coding);
    const bool coded =
        HttpQueryInfoW(request_, HTTP_QUERY_TRANSFER_ENCODING, coding, &size, nullptr) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    length_ = AnnouncedLength(values, coded);
}

bool InternetReader::AwaitPendingCall(const std::atomic<bool>& stop) {
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        state_->pending = false;
        return Fail(error);
    }
    switch (WaitForCompletion(stop)) {
    case Wait::Stopped:
        return Fail(ERROR_CANCELLED);
    case Wait::Stalled:
        return Fail(ERROR_INTERNET_TIMEOUT);
    case Wait::Done:
        break;
    }
    return true;
}

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

void InternetReader::Close() {
    if (state_ == nullptr) {
        return;
    }
    InternetRequestState* state = state_;
    const bool setAside = request_ != nullptr && !ended_ && !RestMayBeReadOut(length_, delivered_);
    state_ = nullptr;
    request_ = nullptr;
    bool abandoned = state->pending;
    // Orphaned first, handle read second; the callback does the reverse, so at
    // least one of the two sees the handle and closes it.
    state->orphaned = true;
    HINTERNET request = state->handle;
    if (setAside) {
        // Closing would read out the rest without end. Claimed, the handle is
        // closed by nobody; WinINet's reference keeps the state with it.
        state->closeClaimed = true;
        ++requestsSetAside;
    } else if (request != nullptr) {
        CloseRequestOnce(state, request);
        // An abandoned operation keeps the handle alive inside WinINet until
        // its connection ends: no use waiting for that.
        if (!abandoned) {
            DWORD start = GetTickCount();
            while (!state->closed && GetTickCount() - start < kClosingWaitMs) {
                WaitForSingleObject(state->event, kSliceMs);
            }
        }
    } else if (!abandoned) {
        // The open failed before any handle was made: no callback will come.
        state->closed = true;
        Release(state);
    }
    Release(state);
}
