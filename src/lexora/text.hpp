// String work on Python str objects, done in place by character index so
// that columns stay character offsets whatever the text's encoding.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>

namespace lexora {

namespace nb = nanobind;

// The value of a Python int, saturated to the int64 range.
std::int64_t saturated(nb::handle integer);

// Piece `line` (1-based) of `code` split on "\n"; nothing when `line` is
// below 1 or past the last piece.
std::optional<nb::str> line_of(nb::handle code, std::int64_t line);

// text[:column], with Python's slice rules for negative and large columns.
nb::str cut_at(nb::handle text, std::int64_t column);

// The identifier fragment ending at the end of `text`: the longest suffix
// made of ASCII letters, digits and underscores that does not start with a
// digit.
nb::str trailing_identifier(nb::handle text);

// True for a str equal to the ASCII text `ascii`.
bool is_text(nb::handle obj, const char *ascii);

// text.strip() over Unicode white space.
nb::str strip(nb::handle text);

// True for a str made of one or more identifiers joined by dots ("a",
// "pkg.mod"); such a name is safe as a file name in one directory.
bool is_dotted_name(nb::handle name);

// Length of `token` in 'token' at the start of `text` (a quoted name at
// the head of a checker message), or 0 when the text does not start so.
Py_ssize_t leading_quoted_length(nb::handle text);

// UTF-8 bytes of a str; raises UnicodeEncodeError for lone surrogates.
std::string utf8(nb::handle text);

// The file-system encoding of a path str (os.fsencode).
std::string fs_path(nb::handle path);

// posixpath.join(directory, name) for a relative `name`.
nb::str join_path(nb::handle directory, nb::handle name);

}  // namespace lexora
