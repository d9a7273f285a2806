#pragma once
// HTTP GET through WinINet in asynchronous mode, read in pieces on the worker
// thread, and abandonable at once: every wait is cut into short slices that
// watch a stop flag. Under Wine a synchronous InternetReadFile cannot be
// interrupted at all, so the player's fetch is built on this instead.
//
// Threads: Open, Read and Close run on one worker thread. WinINet calls the
// status callback on its own threads (and sometimes inside the worker's own
// WinINet calls). The two meet only in a heap-allocated per-request state with
// atomic fields, an event and a reference count (see InternetRequest.h).

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <string>

#include "FetchRules.h"

// Opens the root handle as the player needs it: agent "SONVALE_V2", the
// preconfigured proxy settings, asynchronous mode, and the reader's status
// callback. Null on failure (GetLastError() says why).
HINTERNET OpenInternetSession();

// Closes the root handle. Safe with requests that were abandoned and are still
// held by WinINet: their state stays alive until WinINet lets them go. Null is
// ignored.
void CloseInternetSession(HINTERNET root);

struct InternetRequestState;

class InternetReader {
  public:
    // A request that delivers no data for this long counts as failed.
    static constexpr DWORD kDefaultStallLimitMs = 30000;
    // Length of one wait: how late a stop request is seen at most.
    static constexpr DWORD kSliceMs = 20;
    // Most bytes one Read delivers (the request state holds a piece this long).
    static constexpr DWORD kPieceBytes = 1024;
    // Longest wait in Close for WinINet to report the request handle closed.
    static constexpr DWORD kClosingWaitMs = 2000;

    // An open sent on a kept connection that hears nothing for this long is sent
    // again on a new one (a connection may die silently between tracks).
    static constexpr DWORD kKeptSilenceMs = 5000;

    // Redirects followed for one Open.
    static constexpr int kMaxRedirects = 5;

    explicit InternetReader(DWORD stallLimitMs = kDefaultStallLimitMs);
    ~InternetReader(); // closes an open request
    InternetReader(const InternetReader&) = delete;
    InternetReader& operator=(const InternetReader&) = delete;

    // InternetOpenUrlW(root, url, no headers, 0, flags, context), once a close
    // that may read long has ended (see Close). Waits for the answer's headers.
    // False when the request cannot be made, when `stop` is seen set while
    // waiting, or after the stall limit with no answer. A
    // request left open by an earlier call is closed first. WinINet may send it
    // on a connection it kept from an earlier request: bytes a server left there
    // past an announced length reach only that server's next answer, which it
    // could send as it likes anyway. The address and
    // every redirect target go out with their control characters escaped, and
    // kFetchRuleFlags are added to `flags` (see FetchRules.h). Redirects are
    // followed here, not by WinINet (INTERNET_FLAG_NO_AUTO_REDIRECT is added):
    // only where `scope` allows and at most kMaxRedirects; any other fails at
    // once with ERROR_HTTP_REDIRECT_FAILED, and nothing is opened for it. An
    // answer whose framing FetchRules finds invalid (its Content-Length) fails at
    // once with ERROR_HTTP_INVALID_SERVER_RESPONSE, closed unread: HTTP then wants
    // the connection closed, which only WinINet decides (Windows documents the
    // close as discarding what is unread; Wine 8 reads out what the first value's
    // digits say and keeps the connection). A request whose connection fails
    // before any answer came (a reset, a close, silence past the stall limit or,
    // on a kept connection, past kKeptSilenceMs) is sent once more, on a new
    // connection, where FetchRules allows.
    bool Open(HINTERNET root, const wchar_t* url, DWORD flags, const std::atomic<bool>& stop,
              RedirectScope scope = RedirectScope::SameServer);

    // InternetReadFile's contract: false on an error (also a body cut short of
    // its announced length), when `stop` is seen set while waiting, or after the
    // stall limit without data; true with *count 0 only at the real end of the
    // body, which comes at once when the announced length has arrived (bytes
    // beyond it are never delivered); true with 0 < *count <= size (and at most
    // kPieceBytes) while data arrives. Nothing is allocated. After a false,
    // every further Read is false.
    bool Read(void* dest, DWORD size, DWORD* count, const std::atomic<bool>& stop);

    // The length the open answer announces (FetchRules decides what counts).
    BodyLength Length() const { return length_; }

    // Closes the request handle, always, unless WinINet has already reported it
    // closing: what is unread is discarded. When no WinINet operation is
    // outstanding and what is left of the body is known to be short, it closes
    // here and waits (at most kClosingWaitMs) for WinINet to report the handle
    // closed. Anything else (an open or read given up, a body long or unknown)
    // is closed on a thread of its own, one such at a time (the next Open waits
    // for it), with at most kSliceMs waited here. The request's state is freed
    // whenever WinINet lets go of it. Does nothing when nothing is open.
    void Close();

    bool IsOpen() const { return state_ != nullptr; }
    // The Windows or WinINet error of the last failure, ERROR_CANCELLED after a
    // stop, ERROR_INTERNET_TIMEOUT after a stall.
    DWORD LastError() const { return lastError_; }

    // Request states not yet freed in this process (tests: abandoned requests
    // stay counted until WinINet releases them).
    static LONG LiveRequestStates();

  private:
    enum class Wait { Done, Stopped, Stalled };
    bool OpenOnce(HINTERNET root, const wchar_t* url, DWORD flags, const std::atomic<bool>& stop,
                  DWORD limitOnKeptMs);
    // True with the absolute address to go to (escaped) when the open request is
    // a redirect with a usable Location.
    bool RedirectTarget(const wchar_t* url, std::wstring& target);
    // The stall limit, or `limitOnKeptMs` when shorter and the request went out
    // on a kept connection.
    Wait WaitForCompletion(const std::atomic<bool>& stop, DWORD limitOnKeptMs);
    // Waits while a close that may read long is still running (InternetRequest.cpp).
    // False (the reader failed) when stopped or after the stall limit.
    bool WaitForLongClose(const std::atomic<bool>& stop);
    // After a call that answered FALSE or null: waits for it when it went pending.
    // False (the reader failed) when it failed, was stopped or stalled.
    bool AwaitPendingCall(const std::atomic<bool>& stop, DWORD limitOnKeptMs = INFINITE);
    void ReadLength();
    bool Fail(DWORD error);

    DWORD stallLimitMs_;
    InternetRequestState* state_ = nullptr;
    HINTERNET request_ = nullptr;
    DWORD lastDataTick_ = 0;
    unsigned long long delivered_ = 0;
    BodyLength length_;
    bool ended_ = false; // the body was read to its end
    bool failed_ = false;
    bool unanswered_ = false; // the last failure came before any answer
    DWORD lastError_ = 0;
};
