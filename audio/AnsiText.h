#pragma once
// Titles come from the decoder as UTF-8; the player wants the system's ANSI
// code page.

#include <string>

namespace sonvale::audio {

// Characters the code page lacks become its default character. May throw
// std::bad_alloc.
std::string Utf8ToAnsi(const std::string& utf8);

} // namespace sonvale::audio
