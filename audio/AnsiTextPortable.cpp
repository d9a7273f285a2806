// Outside Windows the narrow character set is UTF-8 already.

#include "AnsiText.h"

namespace sonvale::audio {

std::string Utf8ToAnsi(const std::string& utf8) {
    return utf8;
}

} // namespace sonvale::audio
