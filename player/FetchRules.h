#pragma once
// What the player accepts from a station, as plain rules apart from the code that
// drives WinINet: where redirects may lead, which Location is usable, how an
// address is made safe for the request line, which name an answer gives, what
// counts as a body's length, and the request flags the rules need. Every byte
// from the network is hostile: a rule that cannot be sure says no. Nothing here
// talks to the network.

#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

// Where the redirects of one request may lead.
enum class RedirectScope {
    // The answer is only ever read from the station itself: the same host and
    // port as the address asked for, in the same scheme or upgraded from http
    // to https (the upgrade may also move from port 80 to 443).
    SameServer,
    // A module may come from any web server (a station may serve its files from
    // a mirror): its bytes never go back to the network.
    AnyWebServer,
};

// Whether a redirect from `from` to the absolute address `to` (already combined
// and escaped) is followed: only http and https, never from https down to http
// (in either scope), and within `scope`.
bool RedirectAllowed(const wchar_t* from, const wchar_t* to, RedirectScope scope);

// Longest Location that is followed; a longer one is no usable place to go.
constexpr size_t kMaxLocationLength = 2047;

// Whether a Location header's value names a place to go at all: not blank, and
// not longer than kMaxLocationLength.
bool LocationUsable(const std::wstring& location);

// `url` with every control character (below 0x20, and 0x7F) percent-encoded, so
// none reaches the request line raw, a line break at its end included.
std::wstring EscapeControlCharacters(const std::wstring& url);

// Longest name asked for: the longest path a URL can carry.
constexpr size_t kMaxTrackNameLength = 2048;

// The module's name in the station's answer (already cut at its first zero byte):
// the answer without the run of CR and LF that may end it. False, and nothing is
// asked for, when no name is left or it is longer than kMaxTrackNameLength.
bool TrackName(const std::wstring& answer, std::wstring& name);

// Added to every request: no cookie is kept, written to the profile, or sent.
// Certificates are always checked: no flag or option that lets a certificate
// error pass (its name, dates, authority or revocation) is ever set.
constexpr DWORD kFetchRuleFlags = INTERNET_FLAG_NO_COOKIES;

// What a response's headers say of its body's length.
struct BodyLength {
    bool known = false;           // false: the body ends where the server ends it
    bool invalid = false;         // the framing is broken: the response is unusable
    unsigned long long bytes = 0; // when known
};

// The length a response announces, from every Content-Length value it carries (as
// sent) and whether it names a Transfer-Encoding. A transfer coding frames the body
// itself: any length beside it is ignored. Without one, no value leaves the length
// unknown (the body ends with the connection); otherwise every value, and every
// element of a comma list, must be plain decimal digits (blanks around allowed),
// all the same, or the framing is invalid: HTTP makes such a response unusable,
// never read as 0 or as the digits a value starts with. A number too large for 64
// bits counts as the largest. More than kMostLengthValues values are invalid too:
// each is a lookup among all the headers, so a reader stops after one more.
constexpr size_t kMostLengthValues = 16;
BodyLength AnnouncedLength(const std::vector<std::wstring>& contentLengths,
                           bool hasTransferEncoding);

// A body announced larger than `room` bytes is refused before it is read.
bool BodyFits(const BodyLength& length, unsigned long long room);

// Whether a close may leave the rest of a body for WinINet to read out (it does,
// to keep the connection): only a known rest of at most this many bytes. Anything
// longer or unknown (a refused framing included) could run without end.
constexpr unsigned long long kLongestRestReadOut = 0x200000;
bool RestMayBeReadOut(const BodyLength& length, unsigned long long delivered);

// Whether an open that failed before any byte of its answer came is sent once more,
// on a new connection: only when the connection failed under it (a reset, a close,
// or silence), as HTTP allows for an idempotent request; a kept connection may have
// died unnoticed. Never after a stop, a refused certificate or redirect, or a server
// that cannot be reached.
bool RetryOnNewConnection(DWORD openError);
