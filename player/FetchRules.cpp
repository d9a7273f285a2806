#include "FetchRules.h"

#include <climits>

namespace {

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

BodyLength AnnouncedLength(const std::vector<std::wstring>& contentLengths,
                           bool hasTransferEncoding) {
    BodyLength length;
    if (hasTransferEncoding || contentLengths.empty()) {
        return length;
    }
    for (size_t i = 0; i < contentLengths.size(); ++i) {
        unsigned long long value = 0;
        if (!ParseLength(contentLengths[i], value) || (i > 0 && value != length.bytes)) {
            return BodyLength();
        }
        length.bytes = value;
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
