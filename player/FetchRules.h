#pragma once
// What the player accepts from a station, as plain rules apart from the code that
// drives WinINet. Every byte from the network is hostile: a rule that cannot be
// sure says no.

#include <string>
#include <vector>

// What a response's headers say of its body's length.
struct BodyLength {
    bool known = false;          // false: the body ends where the server ends it
    unsigned long long bytes = 0; // when known
};

// The length a response announces, from every Content-Length value it carries (as
// sent) and whether it names a Transfer-Encoding. A value counts only when it is
// plain decimal digits, blanks around them allowed; a number too large for 64 bits
// counts as the largest. Values that do not count or do not agree, or a transfer
// coding (which frames the body itself), leave the length unknown: never 0, never
// the digits a value starts with.
BodyLength AnnouncedLength(const std::vector<std::wstring>& contentLengths,
                           bool hasTransferEncoding);

// A body announced larger than `room` bytes is refused before it is read.
bool BodyFits(const BodyLength& length, unsigned long long room);

// Whether a close may leave the rest of a body for WinINet to read out (it does,
// to keep the connection): only a known rest of at most this many bytes. Anything
// longer or unknown could run without end.
constexpr unsigned long long kLongestRestReadOut = 0x200000;
bool RestMayBeReadOut(const BodyLength& length, unsigned long long delivered);
