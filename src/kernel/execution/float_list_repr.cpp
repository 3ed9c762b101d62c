#include "kernel/execution/float_list_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace tarvex::kernel {

namespace {

// "-2.2250738585072014e-308" is the longest repr of a float.
constexpr Py_ssize_t max_float_repr = 32;

char *put(std::string_view text, char *out) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char *zeros(int count, char *out) {
    for (int i = 0; i < count; ++i) *out++ = '0';
    return out;
}

// repr(x): the shortest digits that read back as x (those std::to_chars
// finds), laid out as Python does: positional while the decimal point is
// within 4 places before and 16 after the first digit, with ".0" added to
// whole numbers; otherwise one digit, the others after a point, and an
// exponent of at least two digits with its sign.
char *put_float(double x, char *out) {
    if (std::isnan(x))
        return put("nan", out);
    if (std::signbit(x)) {
        *out++ = '-';
        x = -x;
    }
    if (std::isinf(x))
        return put("inf", out);
    char scientific[max_float_repr];
    const char *end =
        std::to_chars(scientific, scientific + sizeof scientific, x, std::chars_format::scientific).ptr;
    // D[.DDD]e(+|-)XX
    char digits[max_float_repr];
    int count = 0;
    const char *at = scientific;
    digits[count++] = *at++;
    if (*at == '.')
        for (++at; *at != 'e'; ++at) digits[count++] = *at;
    ++at;
    bool negative_exponent = *at++ == '-';
    int exponent = 0;
    for (; at < end; ++at) exponent = exponent * 10 + (*at - '0');
    if (negative_exponent)
        exponent = -exponent;

    int point = exponent + 1;  // digits before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            out = put("0.", out);
            out = zeros(-point, out);
            return put(std::string_view(digits, count), out);
        }
        if (point < count) {
            out = put(std::string_view(digits, point), out);
            *out++ = '.';
            return put(std::string_view(digits + point, count - point), out);
        }
        out = put(std::string_view(digits, count), out);
        out = zeros(point - count, out);
        return put(".0", out);
    }
    *out++ = digits[0];
    if (count > 1) {
        *out++ = '.';
        out = put(std::string_view(digits + 1, count - 1), out);
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10)
        *out++ = '0';
    return std::to_chars(out, out + 4, magnitude).ptr;
}

}  // namespace

nb::object float_list_out_line(nb::handle value) {
    PyObject *list = value.ptr();
    if (!PyList_CheckExact(list))
        return nb::object();
    Py_ssize_t count = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!PyFloat_CheckExact(PyList_GET_ITEM(list, i)))
            return nb::object();

    // Written into a str of the longest length it can have, then cut to
    // size: the pages never written are never touched.
    constexpr std::string_view head = "Out: [", separator = ", ", tail = "]\n";
    Py_ssize_t bound = static_cast<Py_ssize_t>(head.size() + tail.size()) +
                       count * (max_float_repr + static_cast<Py_ssize_t>(separator.size()));
    PyObject *line = PyUnicode_New(bound, 127);
    if (!line)
        throw nb::python_error();
    char *start = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(line));
    char *out = put(head, start);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i > 0)
            out = put(separator, out);
        out = put_float(PyFloat_AS_DOUBLE(PyList_GET_ITEM(list, i)), out);
    }
    out = put(tail, out);
    if (PyUnicode_Resize(&line, out - start) < 0) {
        Py_DECREF(line);  // a failed resize leaves it as it was
        throw nb::python_error();
    }
    return nb::steal(line);
}

}  // namespace tarvex::kernel
