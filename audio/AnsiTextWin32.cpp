#include "AnsiText.h"

#include <windows.h>

namespace sonvale::audio {

std::string Utf8ToAnsi(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int wide = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    if (wide <= 0) {
        return {};
    }
    std::wstring text(size_t(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &text[0], wide);
    const int narrow =
        WideCharToMultiByte(CP_ACP, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    if (narrow <= 0) {
        return {};
    }
    std::string ansi(size_t(narrow), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), wide, &ansi[0], narrow, nullptr, nullptr);
    return ansi;
}

} // namespace sonvale::audio
