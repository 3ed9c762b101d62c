#include "lexora/text.hpp"

#include <limits>

#include "common/errors.hpp"

namespace lexora {

using tarvex::owned;

namespace {

bool is_ascii_word(Py_UCS4 ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
}

}  // namespace

std::int64_t saturated(nb::handle integer) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (overflow > 0)
        return std::numeric_limits<std::int64_t>::max();
    if (overflow < 0)
        return std::numeric_limits<std::int64_t>::min();
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    return value;
}

std::optional<nb::str> line_of(nb::handle code, std::int64_t line) {
    if (line < 1)
        return std::nullopt;
    PyObject *text = code.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0;
    for (std::int64_t n = 1; n < line; ++n) {
        Py_ssize_t newline = PyUnicode_FindChar(text, '\n', start, length, 1);
        if (newline == -2)
            throw nb::python_error();
        if (newline < 0)
            return std::nullopt;
        start = newline + 1;
    }
    Py_ssize_t end = PyUnicode_FindChar(text, '\n', start, length, 1);
    if (end == -2)
        throw nb::python_error();
    return owned<nb::str>(PyUnicode_Substring(text, start, end < 0 ? length : end));
}

nb::str cut_at(nb::handle text, std::int64_t column) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    Py_ssize_t end;
    if (column >= 0)
        end = column < length ? static_cast<Py_ssize_t>(column) : length;
    else
        end = -column < length ? length + static_cast<Py_ssize_t>(column) : 0;
    return owned<nb::str>(PyUnicode_Substring(text.ptr(), 0, end));
}

nb::str trailing_identifier(nb::handle text) {
    PyObject *str = text.ptr();
    Py_ssize_t end = PyUnicode_GET_LENGTH(str);
    Py_ssize_t start = end;
    while (start > 0 && is_ascii_word(PyUnicode_READ_CHAR(str, start - 1))) --start;
    while (start < end) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(str, start);
        if (!(ch >= '0' && ch <= '9'))
            break;
        ++start;
    }
    return owned<nb::str>(PyUnicode_Substring(str, start, end));
}

bool is_text(nb::handle obj, const char *ascii) {
    return PyUnicode_Check(obj.ptr()) && PyUnicode_CompareWithASCIIString(obj.ptr(), ascii) == 0;
}

nb::str strip(nb::handle text) {
    PyObject *str = text.ptr();
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(str);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(str, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(str, end - 1))) --end;
    return owned<nb::str>(PyUnicode_Substring(str, start, end));
}

bool is_dotted_name(nb::handle name) {
    if (!PyUnicode_CheckExact(name.ptr()))
        return false;
    PyObject *str = name.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    Py_ssize_t start = 0;
    while (true) {
        Py_ssize_t dot = PyUnicode_FindChar(str, '.', start, length, 1);
        if (dot == -2)
            throw nb::python_error();
        Py_ssize_t end = dot < 0 ? length : dot;
        nb::str part = owned<nb::str>(PyUnicode_Substring(str, start, end));
        if (!PyUnicode_IsIdentifier(part.ptr()))
            return false;
        if (dot < 0)
            return true;
        start = dot + 1;
    }
}

Py_ssize_t leading_quoted_length(nb::handle text) {
    PyObject *str = text.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    if (length < 3 || PyUnicode_READ_CHAR(str, 0) != '\'')
        return 0;
    Py_ssize_t closing = PyUnicode_FindChar(str, '\'', 1, length, 1);
    if (closing == -2)
        throw nb::python_error();
    return closing > 1 ? closing - 1 : 0;
}

std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, static_cast<size_t>(size));
}

std::string fs_path(nb::handle path) {
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded.is_valid())
        throw nb::python_error();
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

nb::str join_path(nb::handle directory, nb::handle name) {
    PyObject *dir = directory.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(dir);
    bool needs_separator = length > 0 && PyUnicode_READ_CHAR(dir, length - 1) != '/';
    nb::object head =
        needs_separator ? nb::steal(PyUnicode_Concat(dir, nb::str("/").ptr())) : nb::borrow(dir);
    if (!head.is_valid())
        throw nb::python_error();
    return owned<nb::str>(PyUnicode_Concat(head.ptr(), name.ptr()));
}

}  // namespace lexora
