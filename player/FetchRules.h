#pragma once
// What the player accepts from a station on its way to a module, as plain
// rules: where redirects may lead, which Location is usable, how an address is
// made safe for the request line, and the request flags the rules need. The
// reader applies them; nothing here talks to the network.

#include <windows.h>
#include <wininet.h>

#include <string>

// Where the redirects of one request may lead.
enum class RedirectScope {
    // The answer is only ever read from the station itself: the same scheme,
    // host and port as the address asked for.
    SameServer,
    // A module may come from any web server (a station may serve its files from
    // a mirror): its bytes never go back to the network.
    AnyWebServer,
};

// Whether a redirect from `from` to the absolute address `to` (already combined
// and escaped) is followed: only http and https, and within `scope`.
bool RedirectAllowed(const wchar_t* from, const wchar_t* to, RedirectScope scope);

// Longest Location that is followed; a longer one is no usable place to go.
constexpr size_t kMaxLocationLength = 2047;

// Whether a Location header's value names a place to go at all: not blank, and
// not longer than kMaxLocationLength.
bool LocationUsable(const std::wstring& location);

// `url` with every control character (below 0x20, and 0x7F) percent-encoded, so
// none reaches the request line raw. A run of CR and LF at its very end stays:
// WinINet cuts it, which keeps an answer that ends in a line break working.
std::wstring EscapeControlCharacters(const std::wstring& url);

// Added to every request: no cookie is kept, written to the profile, or sent.
constexpr DWORD kFetchRuleFlags = INTERNET_FLAG_NO_COOKIES;
