#include "FetchRules.h"

#include <algorithm>
#include <climits>
#include <cwchar>

namespace {

// The parts of an address that say which server answers it.
struct Server {
    INTERNET_SCHEME scheme = INTERNET_SCHEME_UNKNOWN;
    std::wstring host;
    INTERNET_PORT port = 0;
};

// False for anything WinINet itself would not read as an address with a host.
bool CrackServer(const wchar_t* url, Server& server) {
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = 1; // nonzero: point into `url`, nothing copied
    if (!InternetCrackUrlW(url, 0, 0, &parts) || parts.lpszHostName == nullptr ||
        parts.dwHostNameLength == 0) {
        return false;
    }
    server.scheme = parts.nScheme;
    server.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    server.port = parts.nPort; // the scheme's own port when none is written
    return true;
}

// The authority (between "//" and the path) of an address: where WinINet connects.
// Only letters, digits and the punctuation of a host, a port or an IPv6 literal are
// taken, so that no other parser of the address (InternetOpenUrlW's is not
// InternetCrackUrlW's) can read another server into it: no userinfo ("@"), no
// backslash, no percent-encoding, nothing beyond ASCII.
bool PlainAuthority(const wchar_t* url) {
    const wchar_t* at = url;
    while ((*at >= L'a' && *at <= L'z') || (*at >= L'A' && *at <= L'Z')) {
        ++at; // the scheme
    }
    if (at == url || wcsncmp(at, L"://", 3) != 0) {
        return false;
    }
    for (at += 3; *at != L'\0' && *at != L'/' && *at != L'?' && *at != L'#'; ++at) {
        const wchar_t c = *at;
        if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
              c == L'.' || c == L'-' || c == L':' || c == L'[' || c == L']')) {
            return false;
        }
    }
    return true;
}

// Host names as DNS compares them: A-Z folded, nothing else (the system's own
// folding would take "ſtation" or "statıon" for "station").
bool SameHostName(const std::wstring& a, const std::wstring& b) {
    auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](wchar_t x, wchar_t y) { return fold(x) == fold(y); });
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// Digits with optional blanks around them; anything else is no length.
bool ParseLength(const std::wstring& text, unsigned long long& value) {
    size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    size_t digits = 0;
    value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at, ++digits) {
        unsigned digit = static_cast<unsigned>(text[at] - L'0');
        value = value > (ULLONG_MAX - digit) / 10 ? ULLONG_MAX : value * 10 + digit;
    }
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    return digits > 0 && at == text.size();
}

} // namespace

bool RedirectAllowed(const wchar_t* from, const wchar_t* to, RedirectScope scope) {
    // Other schemes (ftp, file, data, a drive path...) would have WinINet log in
    // elsewhere or hold the fetch until the stall limit.
    Server origin, target;
    if (!PlainAuthority(from) || !PlainAuthority(to) || !CrackServer(from, origin) ||
        !CrackServer(to, target) ||
        (target.scheme != INTERNET_SCHEME_HTTP && target.scheme != INTERNET_SCHEME_HTTPS)) {
        return false;
    }
    // Never from https to http: whoever is on the path could then answer.
    if (origin.scheme == INTERNET_SCHEME_HTTPS && target.scheme != INTERNET_SCHEME_HTTPS) {
        return false;
    }
    if (scope == RedirectScope::AnyWebServer) {
        return true;
    }
    // Names as written, no DNS: another name for the same machine is another
    // server here, since the answer's text goes back to the station. So is the
    // name with a final dot: the one without may be looked up under a suffix.
    if (!SameHostName(origin.host, target.host)) {
        return false;
    }
    // The same port, or the upgrade of a host to https on the schemes' own ports.
    return origin.port == target.port ||
           (origin.scheme == INTERNET_SCHEME_HTTP && target.scheme == INTERNET_SCHEME_HTTPS &&
            origin.port == INTERNET_DEFAULT_HTTP_PORT &&
            target.port == INTERNET_DEFAULT_HTTPS_PORT);
}

bool LocationUsable(const std::wstring& location) {
    return location.size() <= kMaxLocationLength &&
           location.find_first_not_of(L" \t\r\n") != std::wstring::npos;
}

std::wstring EscapeControlCharacters(const std::wstring& url) {
    std::wstring escaped;
    escaped.reserve(url.size());
    for (const wchar_t ch : url) {
        if (ch < 0x20 || ch == 0x7F) {
            const wchar_t* hex = L"0123456789ABCDEF";
            escaped += L'%';
            escaped += hex[ch >> 4];
            escaped += hex[ch & 0xF];
        } else {
            escaped += ch;
        }
    }
    return escaped;
}

bool TrackName(const std::wstring& answer, std::wstring& name) {
    // The address is built from the name as it is: a line break left in it would
    // go out escaped and name another file.
    const size_t end = answer.find_last_not_of(L"\r\n");
    if (end == std::wstring::npos || end >= kMaxTrackNameLength) {
        return false;
    }
    name.assign(answer, 0, end + 1);
    return true;
}

BodyLength AnnouncedLength(const std::vector<std::wstring>& contentLengths,
                           bool hasTransferEncoding) {
    BodyLength length;
    if (hasTransferEncoding || contentLengths.empty()) {
        return length;
    }
    BodyLength unusable;
    unusable.invalid = true;
    if (contentLengths.size() > kMostLengthValues) {
        return unusable;
    }
    bool first = true;
    for (const std::wstring& field : contentLengths) {
        // "5, 5" is one way of sending the same length twice.
        for (size_t from = 0;;) {
            const size_t comma = std::min(field.find(L',', from), field.size());
            unsigned long long value = 0;
            if (!ParseLength(field.substr(from, comma - from), value) ||
                (!first && value != length.bytes)) {
                return unusable;
            }
            length.bytes = value;
            first = false;
            if (comma == field.size()) {
                break;
            }
            from = comma + 1;
        }
    }
    length.known = true;
    return length;
}

bool BodyFits(const BodyLength& length, unsigned long long room) {
    return !length.known || length.bytes <= room;
}

bool RestMayBeReadOut(const BodyLength& length, unsigned long long delivered) {
    return length.known &&
           (delivered >= length.bytes || length.bytes - delivered <= kLongestRestReadOut);
}

bool RetryOnNewConnection(DWORD openError) {
    return openError == ERROR_INTERNET_CONNECTION_RESET ||
           openError == ERROR_INTERNET_CONNECTION_ABORTED ||
           openError == ERROR_HTTP_INVALID_SERVER_RESPONSE || openError == ERROR_INTERNET_TIMEOUT;
}
