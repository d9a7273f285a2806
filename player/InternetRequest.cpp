// The request's lifetime: its shared state, WinINet's status callback, the
// session that installs it, the waits for a pending call, and the close.
#include "InternetRequest.h"

#include <new>

namespace {

std::atomic<LONG> liveStates{0};

void Release(InternetRequestState* state) {
    if (--state->refs == 0) {
        CloseHandle(state->event);
        delete state;
        --liveStates;
    }
}

// A handle value is ours only until its HANDLE_CLOSING: after that WinINet may
// have given it to another handle (it closes a request itself with its session,
// and may with a failed open), so it is not closed again. What is left is a close
// racing one of WinINet's own, which only the session's close at shutdown makes.
void CloseRequestOnce(InternetRequestState* state, HINTERNET request) {
    if (!state->closeClaimed.exchange(true) && !state->closed) {
        InternetCloseHandle(request);
    }
}

// Closes made by CloseMayReadLong that have not returned yet (any thread).
std::atomic<LONG> longClosesInFlight{0};

DWORD WINAPI CloseAside(void* context) {
    auto* state = static_cast<InternetRequestState*>(context);
    if (!state->closed) {
        InternetCloseHandle(state->handle);
    }
    --longClosesInFlight;
    Release(state);
    return 0;
}

// Windows discards what is unread when a request is closed; Wine 8 first reads
// it out inside InternetCloseHandle for as long as data keeps arriving (a body
// announced long, or chunked; never one ended by the close), which against a
// sender faster than its reads never ends. Such a close is made on a thread of
// its own, so neither the worker nor the program's close waits, and one at a
// time: the next open waits for it (WaitForLongClose), as an open beyond two
// connections to one server waits on Windows. The thread has the default stack:
// the close may run the TLS shutdown and the status callback, and nothing
// documents what WinINet needs; a reservation costs only address space.
void CloseMayReadLong(InternetRequestState* state) {
    if (state->closeClaimed.exchange(true)) {
        return;
    }
    ++longClosesInFlight;
    ++state->refs; // the thread's, for the closed flag it looks at
    HANDLE thread = CreateThread(nullptr, 0, CloseAside, state, 0, nullptr);
    if (thread == nullptr) {
        CloseAside(state);
        return;
    }
    CloseHandle(thread);
}

void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
    // Only request handles carry a context; the root's is 0.
    auto* state = reinterpret_cast<InternetRequestState*>(context);
    if (state == nullptr) {
        return;
    }
    switch (status) {
    case INTERNET_STATUS_HANDLE_CREATED: {
        // A request whose open fails in Wine 8 stays open until it is closed,
        // and this is the only place its handle is named.
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
        // An open abandoned before WinINet named its handle: closed now, aside
        // (nothing is known of its body), with the state held for that thread.
        if (state->orphaned && state->handle != nullptr) {
            CloseMayReadLong(state);
        }
        break;
    }
    // Sent without a connect first: the request went out on a kept connection.
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
        state->connecting = true;
        break;
    case INTERNET_STATUS_REQUEST_SENT:
        state->sent = true;
        break;
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

InternetRequestState* NewRequestState() {
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
    if (root != nullptr) {
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

InternetReader::Wait InternetReader::WaitForCompletion(const std::atomic<bool>& stop,
                                                      DWORD limitOnKeptMs) {
    while (state_->pending) {
        if (stop) {
            return Wait::Stopped;
        }
        const bool kept = state_->sent && !state_->connecting;
        const DWORD limit = kept && limitOnKeptMs < stallLimitMs_ ? limitOnKeptMs : stallLimitMs_;
        if (GetTickCount() - lastDataTick_ >= limit) {
            return Wait::Stalled;
        }
        WaitForSingleObject(state_->event, kSliceMs);
    }
    return Wait::Done;
}

bool InternetReader::WaitForLongClose(const std::atomic<bool>& stop) {
    while (longClosesInFlight > 0) {
        if (stop) {
            return Fail(ERROR_CANCELLED);
        }
        if (GetTickCount() - lastDataTick_ >= stallLimitMs_) {
            return Fail(ERROR_INTERNET_TIMEOUT);
        }
        Sleep(kSliceMs);
    }
    return true;
}

bool InternetReader::AwaitPendingCall(const std::atomic<bool>& stop, DWORD limitOnKeptMs) {
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        state_->pending = false;
        return Fail(error);
    }
    switch (WaitForCompletion(stop, limitOnKeptMs)) {
    case Wait::Stopped:
        return Fail(ERROR_CANCELLED);
    case Wait::Stalled:
        return Fail(ERROR_INTERNET_TIMEOUT);
    case Wait::Done:
        break;
    }
    return true;
}

void InternetReader::Close() {
    if (state_ == nullptr) {
        return;
    }
    InternetRequestState* state = state_;
    // Only a request whose rest is known to be short is closed here; anything
    // else (a body long or unknown, an open given up, a handle only the callback
    // named) may read long under Wine and is closed aside.
    const bool restShort =
        request_ != nullptr && (ended_ || RestMayBeReadOut(length_, delivered_));
    state_ = nullptr;
    request_ = nullptr;
    bool abandoned = state->pending;
    // Orphaned first, handle read second; the callback does the reverse, so at
    // least one of the two sees the handle and closes it.
    state->orphaned = true;
    HINTERNET request = state->handle;
    if (request != nullptr && restShort && !abandoned) {
        CloseRequestOnce(state, request);
        // An idle request reports HANDLE_CLOSING inside InternetCloseHandle or a
        // moment later on a WinINet thread.
        DWORD start = GetTickCount();
        while (!state->closed && GetTickCount() - start < kClosingWaitMs) {
            WaitForSingleObject(state->event, kSliceMs);
        }
    } else if (request != nullptr) {
        CloseMayReadLong(state);
        // An abandoned operation keeps the handle alive inside WinINet until its
        // connection ends (Wine 8: neither REQUEST_COMPLETE nor HANDLE_CLOSING
        // comes before; Windows documents the close as cancelling it): no use
        // waiting for that. Otherwise the close is usually done at once, and the
        // next request then finds it closed.
        DWORD start = GetTickCount();
        while (!abandoned && !state->closed && GetTickCount() - start < kSliceMs) {
            WaitForSingleObject(state->event, kSliceMs);
        }
    } else if (!abandoned) {
        // The open failed before any handle was made: no callback will come.
        state->closed = true;
        Release(state);
    }
    Release(state);
}
