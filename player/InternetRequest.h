#pragma once
// The life of one WinINet request as the reader drives it (inside the reader
// only): the state the worker shares with WinINet's status callback, and how it
// is made and freed. The open (with its redirects) is in InternetReader.cpp, the
// body's reads in InternetReaderBody.cpp, the callback, the waits and the close
// in InternetRequest.cpp.

#include "InternetReader.h"

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
    // The open's progress: a connect begun (none on a kept connection), the request sent.
    std::atomic<bool> connecting{false};
    std::atomic<bool> sent{false};
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

// A new state with both references, counted as live; null when out of memory.
InternetRequestState* NewRequestState();
