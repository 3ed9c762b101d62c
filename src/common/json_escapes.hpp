// How a JSON string writes each ASCII character, as orjson writes it: 0 for
// a character that stands as it is, otherwise the letter of its escape
// ('u' for \u00XX).
#pragma once

#include <array>

namespace tarvex {

inline constexpr std::array<char, 128> json_escapes = [] {
    std::array<char, 128> letters{};
    for (int c = 0; c < 0x20; ++c) letters[c] = 'u';
    letters['\b'] = 'b';
    letters['\t'] = 't';
    letters['\n'] = 'n';
    letters['\f'] = 'f';
    letters['\r'] = 'r';
    letters['"'] = '"';
    letters['\\'] = '\\';
    return letters;
}();

}  // namespace tarvex
