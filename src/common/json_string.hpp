// The inside of a JSON string written straight from a str, as orjson
// writes it: the escapes of json_escapes.hpp, everything else as UTF-8. A
// lone surrogate, which has no UTF-8 form (orjson refuses it), is written
// as \uXXXX, as json.dumps writes it.
#pragma once

#include <Python.h>

#include <cstring>
#include <string>

#include "common/json_escapes.hpp"

namespace tarvex {

namespace json_string_detail {

inline void append_u_escape(Py_UCS4 c, std::string &out) {
    static const char hex[] = "0123456789abcdef";
    const char escape[6] = {'\\', 'u', hex[(c >> 12) & 15], hex[(c >> 8) & 15], hex[(c >> 4) & 15], hex[c & 15]};
    out.append(escape, sizeof escape);
}

// Characters the escape of `c` (below 0x80) takes: 1, 2 or 6.
inline Py_ssize_t ascii_cost(Py_UCS4 c) {
    char letter = json_escapes[c];
    return !letter ? 1 : letter == 'u' ? 6 : 2;
}

inline void append_ascii_escape(Py_UCS4 c, std::string &out) {
    char letter = json_escapes[c];
    if (letter == 'u') {
        append_u_escape(c, out);
    } else {
        out.push_back('\\');
        out.push_back(letter);
    }
}

inline void append_utf8(Py_UCS4 c, std::string &out) {
    if (c < 0x800) {
        const char bytes[2] = {char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
        out.append(bytes, 2);
    } else if (c < 0x10000) {
        const char bytes[3] = {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
        out.append(bytes, 3);
    } else {
        const char bytes[4] = {char(0xF0 | (c >> 18)), char(0x80 | ((c >> 12) & 0x3F)),
                               char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
        out.append(bytes, 4);
    }
}

template <typename Unit>
Py_ssize_t append_units(const Unit *text, Py_ssize_t from, Py_ssize_t size, Py_ssize_t &budget, std::string &out) {
    Py_ssize_t i = from;
    while (i < size && budget > 0) {
        // A run of ASCII that needs no escape, copied at once when the text is Latin-1.
        Py_ssize_t run = i, stop = i + (budget < size - i ? budget : size - i);
        while (run < stop && text[run] < 0x80 && !json_escapes[text[run]]) ++run;
        if (run > i) {
            if constexpr (sizeof(Unit) == 1) {
                out.append(reinterpret_cast<const char *>(text + i), static_cast<size_t>(run - i));
            } else {
                for (Py_ssize_t k = i; k < run; ++k) out.push_back(static_cast<char>(text[k]));
            }
            budget -= run - i;
            i = run;
            continue;
        }
        Py_UCS4 c = text[i];
        Py_ssize_t cost = c < 0x80 ? ascii_cost(c) : (c >= 0xD800 && c < 0xE000) ? 6 : 1;
        if (cost > budget && out.size() > 0)
            break;  // the next piece begins with it
        if (c < 0x80)
            append_ascii_escape(c, out);
        else if (c >= 0xD800 && c < 0xE000)
            append_u_escape(c, out);
        else
            append_utf8(c, out);
        budget -= cost;
        ++i;
    }
    return i;
}

}  // namespace json_string_detail

// Appends the characters of `text` (an exact or derived str) from index
// `from` as JSON string content to `out`, until the text ends or `budget`
// characters of JSON are written; the budget is counted down. Returns the
// index of the first character not written. A character whose escape does
// not fit the budget is left for the next call (unless `out` is empty, so
// that every call makes progress).
inline Py_ssize_t append_json_chars(PyObject *text, Py_ssize_t from, Py_ssize_t &budget, std::string &out) {
    using namespace json_string_detail;
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return append_units(static_cast<const Py_UCS1 *>(data), from, size, budget, out);
    case PyUnicode_2BYTE_KIND:
        return append_units(static_cast<const Py_UCS2 *>(data), from, size, budget, out);
    default:
        return append_units(static_cast<const Py_UCS4 *>(data), from, size, budget, out);
    }
}

}  // namespace tarvex
