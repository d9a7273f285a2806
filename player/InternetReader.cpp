// The redirecting open: one InternetOpenUrlW per hop, redirects followed here
// under FetchRules, and the length the answer announces.
#include "InternetReader.h"

#include <vector>

#include "InternetRequest.h"

bool InternetReader::Open(HINTERNET root, const wchar_t* url, DWORD flags,
                          const std::atomic<bool>& stop, RedirectScope scope) {
    // WinINet would follow a redirect loop without end, and go on with it inside
    // an abandoned request: redirects are followed here, a few at most.
    std::wstring address = EscapeControlCharacters(url);
    const DWORD hopFlags = flags | kFetchRuleFlags | INTERNET_FLAG_NO_AUTO_REDIRECT;
    bool retried = false;
    for (int hop = 0;; ++hop) {
        if (!OpenOnce(root, address.c_str(), hopFlags, stop, retried ? INFINITE : kKeptSilenceMs)) {
            // The request went out on a connection that failed before any of its
            // answer came: sent once more (see FetchRules). The failed one's
            // connection is not WinINet's to reuse: its answer never ended, and
            // the close (OpenOnce's first step) drops it, or Wine's abandoned
            // open holds it. One request at a time leaves no other kept
            // connection to this server, so the retry connects anew.
            if (retried || !unanswered_ || !RetryOnNewConnection(lastError_)) {
                return false;
            }
            retried = true;
            if (!OpenOnce(root, address.c_str(), hopFlags, stop, INFINITE)) {
                return false;
            }
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
                              const std::atomic<bool>& stop, DWORD limitOnKeptMs) {
    Close();
    unanswered_ = false;
    failed_ = false;
    lastError_ = 0;
    delivered_ = 0;
    length_ = BodyLength();
    ended_ = false;
    if (root == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    lastDataTick_ = GetTickCount();
    if (!WaitForLongClose(stop)) {
        return false;
    }
    state_ = NewRequestState();
    if (state_ == nullptr) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    lastDataTick_ = GetTickCount();
    state_->pending = true;
    unanswered_ = true;
    // Wine 8 always answers ERROR_IO_PENDING here, then REQUEST_COMPLETE carries
    // the request handle in dwResult, or 0 and the error in dwError; Windows
    // documents both that and an immediate handle.
    HINTERNET request =
        InternetOpenUrlW(root, url, nullptr, 0, flags, reinterpret_cast<DWORD_PTR>(state_));
    if (request == nullptr) {
        if (!AwaitPendingCall(stop, limitOnKeptMs)) {
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
    unanswered_ = false;

    ReadLength();
    // HTTP makes a response whose framing is broken unusable: closed at once,
    // unread, its rest unknown (Wine 8 reads out what its first value's digits say).
    if (length_.invalid) {
        Close();
        return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    }
    lastDataTick_ = GetTickCount();
    return true;
}

void InternetReader::ReadLength() {
    // Without it a connection reset would pass for the end of the body (Wine 8
    // reports one mid-body as WSAECONNRESET or, depending on timing, exactly as
    // the end: TRUE with 0), and
    // bytes sent beyond it would pass for part of it. Read as text, every
    // value: WinINet's numeric form turns "abc" into 0 and "12abc" into 12.
    // One past the most that FetchRules takes is enough to refuse the rest.
    std::vector<std::wstring> values;
    for (DWORD index = 0; values.size() <= kMostLengthValues;) {
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
