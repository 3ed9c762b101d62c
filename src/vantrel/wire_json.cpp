// Python value -> JSON text of its wire value, by the rules of to_wire.cpp
// in the same order. The text is what orjson makes of to_wire's result:
// compact, keys in order, non-ASCII kept, NaN and infinities as null. Where
// orjson would refuse that result (ints beyond 64 bits, lone surrogates,
// dict keys that are not str), the text is valid JSON that reads back as
// json.dumps' text of it does.
#include "vantrel/wire_json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "common/json_escapes.hpp"
#include "vantrel/base64.hpp"
#include "vantrel/dates.hpp"
#include "vantrel/proxies.hpp"
#include "vantrel/recursion_guard.hpp"
#include "vantrel/refs.hpp"
#include "vantrel/wire_json_api.hpp"

namespace vantrel {

namespace {

constexpr std::string_view kDateHead = R"({"type":"Date","value":)";
constexpr std::string_view kBytesHead = R"({"type":"Bytes","value":")";
constexpr std::string_view kDictHead = R"({"type":"Dict","value":{)";
constexpr std::string_view kDictTail = R"(},"isSpec":false})";
constexpr std::string_view kFunctionHead = R"({"type":"Python_Function","value":)";
constexpr std::string_view kSpecTail = R"(,"isSpec":true})";

void append_u_escape(Py_UCS4 c, JsonOut &out) {
    static const char hex[] = "0123456789abcdef";
    const char escape[6] = {'\\',       'u', hex[(c >> 12) & 15], hex[(c >> 8) & 15], hex[(c >> 4) & 15],
                            hex[c & 15]};
    out.append(std::string_view(escape, sizeof escape));
}

void append_escape(unsigned char c, JsonOut &out) {
    char letter = tarvex::json_escapes[c];
    if (letter == 'u') {
        append_u_escape(c, out);
        return;
    }
    out.push_back('\\');
    out.push_back(letter);
}

void append_ascii(const char *text, size_t size, JsonOut &out) {
    size_t run = 0;
    for (size_t i = 0; i < size; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (tarvex::json_escapes[c]) {
            out.append(std::string_view(text + run, i - run));
            append_escape(c, out);
            run = i + 1;
        }
    }
    out.append(std::string_view(text + run, size - run));
}

template <typename Unit>
void append_ucs(const Unit *text, size_t size, JsonOut &out) {
    for (size_t i = 0; i < size; ++i) {
        Py_UCS4 c = text[i];
        if (c < 0x80) {
            if (tarvex::json_escapes[c])
                append_escape(static_cast<unsigned char>(c), out);
            else
                out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            const char bytes[2] = {char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
            out.append(std::string_view(bytes, 2));
        } else if (c >= 0xD800 && c < 0xE000) {
            // A surrogate has no UTF-8 form; json.dumps escapes it too.
            append_u_escape(c, out);
        } else if (c < 0x10000) {
            const char bytes[3] = {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)),
                                   char(0x80 | (c & 0x3F))};
            out.append(std::string_view(bytes, 3));
        } else {
            const char bytes[4] = {char(0xF0 | (c >> 18)), char(0x80 | ((c >> 12) & 0x3F)),
                                   char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
            out.append(std::string_view(bytes, 4));
        }
    }
}

// An int (subclasses too) by its value; beyond 64 bits, where orjson
// stops, the digits json.dumps would write.
void append_int(PyObject *number, JsonOut &out) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (!overflow) {
        char *at = out.room(kNumberRoom);
        out.advance(format_integer(value, at) - at);
        return;
    }
    if (overflow > 0) {
        unsigned long long big = PyLong_AsUnsignedLongLong(number);
        if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            char *at = out.room(kNumberRoom);
            out.advance(format_integer(big, at) - at);
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            throw nb::python_error();
        PyErr_Clear();
    }
    nb::object digits = owned(PyLong_Type.tp_repr(number));
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(digits.ptr(), &size);
    if (!data)
        throw nb::python_error();
    out.append(std::string_view(data, static_cast<size_t>(size)));
}

// A float dict key as json.dumps writes it (orjson takes str keys only).
void append_float_key(double value, JsonOut &out) {
    if (std::isnan(value)) {
        out.append("NaN");
        return;
    }
    if (std::isinf(value)) {
        out.append(value > 0 ? "Infinity" : "-Infinity");
        return;
    }
    char *repr = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!repr)
        throw nb::python_error();
    out.append(std::string_view(repr));
    PyMem_Free(repr);
}

// Dict keys are sent as they are; those that are not str are written as
// json.dumps writes them.
void append_key(PyObject *key, JsonOut &out) {
    if (PyUnicode_Check(key)) {
        append_text(key, out);
        return;
    }
    out.push_back('"');
    if (key == Py_True)
        out.append("true");
    else if (key == Py_False)
        out.append("false");
    else if (key == Py_None)
        out.append("null");
    else if (PyLong_Check(key))
        append_int(key, out);
    else if (PyFloat_Check(key))
        append_float_key(PyFloat_AS_DOUBLE(key), out);
    else {
        PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                     Py_TYPE(key)->tp_name);
        throw nb::python_error();
    }
    out.push_back('"');
}

void append_int_wire(PyObject *number, JsonOut &out) {
    out.append(kIntHead);
    append_int(number, out);
    out.append(kPlainTail);
}

void append_float_wire(double value, JsonOut &out) {
    out.append(kFloatHead);
    append_double(value, out);
    out.append(kPlainTail);
}

void append_string_wire(PyObject *text, JsonOut &out) {
    out.append(kStringHead);
    append_text(text, out);
    out.append(kPlainTail);
}

ElementConverter element_converter() { return ElementConverter(names.to_wire, refs.to_wire_fn); }

// A list or tuple (subclasses too), as sequence_to_wire walks it.
void append_sequence(nb::handle seq, JsonOut &out) {
    RecursionGuard guard(kToWire);
    ElementConverter convert = element_converter();
    PyObject *s = seq.ptr();
    PyTypeObject *t = Py_TYPE(s);
    out.append(kArrayHead);
    bool first = true;
    auto element = [&](nb::handle item) {
        if (!first)
            out.push_back(',');
        first = false;
        append_element(convert, item, out);
    };

    if (PyTuple_Check(s) && t->tp_iter == PyTuple_Type.tp_iter) {
        out.reserve(static_cast<size_t>(PyTuple_GET_SIZE(s)) * kElementGuess);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s); ++i) element(PyTuple_GET_ITEM(s, i));
    } else if (PyList_Check(s) && t->tp_iter == PyList_Type.tp_iter) {
        // Conversions may run user code that changes the list: its length
        // is read at every step and each element held while it is written.
        out.reserve(static_cast<size_t>(PyList_GET_SIZE(s)) * kElementGuess);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(s); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(s, i));
            element(item);
        }
    } else {
        for_each_yielded(s, element);
    }
    out.append(kArrayTail);
}

// A dict (subclasses too), as mapping_to_wire walks it.
void append_mapping(nb::handle mapping, JsonOut &out) {
    PyObject *d = mapping.ptr();
    if (!PyDict_CheckExact(d)) {
        nb::object items = nb::getattr(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(d))), names.items);
        if (!items.is(nb::handle(refs.dict_items))) {
            // Its own items() may repeat keys, which the payload dict of
            // to_wire merges: that dict is built and written.
            append_json(to_wire(mapping), out);
            return;
        }
    }
    RecursionGuard guard(kToWire);
    ElementConverter convert = element_converter();
    out.append(kDictHead);
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(d);
    PyObject *key, *value;
    bool first = true;
    while (PyDict_Next(d, &pos, &key, &value)) {
        nb::object k = nb::borrow(key), v = nb::borrow(value);
        if (!first)
            out.push_back(',');
        first = false;
        append_key(k.ptr(), out);
        out.push_back(':');
        append_element(convert, v, out);
        if (PyDict_GET_SIZE(d) != size)
            raise_text(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    out.append(kDictTail);
}

void append_proxy(nb::handle proxy, JsonOut &out) {
    nb::object type_name = proxy.attr(names._internal_typeName);
    nb::object object_id = proxy.attr(names._internal_id);
    out.append(R"({"type":)");
    append_json(type_name, out);
    out.append(R"(,"value":)");
    append_json(object_id, out);
    out.append(kSpecTail);
}

void append_callable(nb::handle fn, JsonOut &out) {
    nb::object messaging = module_global(names.messaging);
    nb::object callable_id =
        owned(PyObject_CallMethodOneArg(messaging.ptr(), names.register_callable, fn.ptr()));
    out.append(kFunctionHead);
    append_json(callable_id, out);
    out.append(kSpecTail);
}

// Every rule in order, for values the fast path did not take.
void append_by_rules(nb::handle value, JsonOut &out) {
    PyObject *v = value.ptr();
    if (v == Py_None) {
        out.append(kNullWire);
    } else if (PyBool_Check(v) || PyObject_TypeCheck(v, refs.np_bool)) {
        out.append(truthy(value) ? kTrueWire : kFalseWire);
    } else if (PyLong_Check(v)) {
        append_int_wire(owned(PyNumber_Long(v)).ptr(), out);
    } else if (PyFloat_Check(v)) {
        append_float_wire(PyFloat_AS_DOUBLE(owned(PyNumber_Float(v)).ptr()), out);
    } else if (PyUnicode_Check(v)) {
        append_string_wire(v, out);
    } else if (is_date_value(v)) {
        out.append(kDateHead);
        append_json(date_text(value), out);
        out.append(kPlainTail);
    } else if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v)) {
        out.append(kBytesHead);
        write_base64(value, [&](size_t size) {
            char *at = out.room(size);
            out.advance(size);
            return at;
        });
        out.push_back('"');
        out.append(kPlainTail);
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
        append_sequence(value, out);
    } else if (PyDict_Check(v)) {
        append_mapping(value, out);
    } else if (is_missing(value)) {
        out.append(kNullWire);
    } else if (is_numpy_integer(v)) {
        append_int_wire(owned(PyNumber_Long(v)).ptr(), out);
    } else if (is_numpy_floating(v)) {
        append_float_wire(PyFloat_AS_DOUBLE(owned(PyNumber_Float(v)).ptr()), out);
    } else if (is_table(v)) {
        append_table(value, out);
    } else if (is_proxy_object(v)) {
        append_proxy(value, out);
    } else if (PyCallable_Check(v)) {
        append_callable(value, out);
    } else {
        append_string_wire(owned(PyObject_Str(v)).ptr(), out);
    }
}

// `body()` as the C API returns it: a new reference, or null with the
// exception set; no C++ exception leaves it.
template <typename Body>
PyObject *as_c_api(Body body) {
    try {
        return body().release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject *wire_json_api(PyObject *value) {
    return as_c_api([value] { return wire_json(value); });
}

PyObject *from_wire_list_api(PyObject *values) {
    return as_c_api([values] { return from_wire_list(values); });
}

const WireJsonApi kApi{&wire_json_api, &from_wire_list_api};

}  // namespace

char *format_integer(long long value, char *at) { return std::to_chars(at, at + kNumberRoom, value).ptr; }

char *format_integer(unsigned long long value, char *at) {
    return std::to_chars(at, at + kNumberRoom, value).ptr;
}

// The shortest digits that read back as the same double, laid out as
// orjson does: plain decimals from 1e-5 up to below 1e16 (with ".0" when
// whole), otherwise d.ddde+X / d.ddde-X.
char *format_double(double value, char *at) {
    if (!std::isfinite(value)) {
        std::memcpy(at, "null", 4);
        return at + 4;
    }
    char sci[kNumberRoom];
    char *end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char *p = sci;
    if (*p == '-')
        *at++ = *p++;
    char digits[20];
    int count = 0;
    for (; *p != 'e'; ++p)
        if (*p != '.')
            digits[count++] = *p;
    ++p;  // past 'e'
    bool negative_exponent = *p == '-';
    int exponent = 0;
    std::from_chars(p + 1, end, exponent);
    if (negative_exponent)
        exponent = -exponent;

    if (exponent < -5 || exponent >= 16) {
        *at++ = digits[0];
        if (count > 1) {
            *at++ = '.';
            std::memcpy(at, digits + 1, count - 1);
            at += count - 1;
        }
        *at++ = 'e';
        *at++ = negative_exponent ? '-' : '+';
        return std::to_chars(at, at + 4, negative_exponent ? -exponent : exponent).ptr;
    }
    if (exponent < 0) {
        *at++ = '0';
        *at++ = '.';
        for (int i = -1; i > exponent; --i) *at++ = '0';
        std::memcpy(at, digits, count);
        return at + count;
    }
    for (int i = 0; i <= exponent; ++i) *at++ = i < count ? digits[i] : '0';
    *at++ = '.';
    if (count > exponent + 1) {
        std::memcpy(at, digits + exponent + 1, count - exponent - 1);
        return at + count - exponent - 1;
    }
    *at++ = '0';
    return at;
}

void append_text(PyObject *text, JsonOut &out) {
    size_t size = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    const void *data = PyUnicode_DATA(text);
    out.push_back('"');
    if (PyUnicode_IS_ASCII(text))
        append_ascii(static_cast<const char *>(data), size, out);
    else if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND)
        append_ucs(static_cast<const Py_UCS1 *>(data), size, out);
    else if (PyUnicode_KIND(text) == PyUnicode_2BYTE_KIND)
        append_ucs(static_cast<const Py_UCS2 *>(data), size, out);
    else
        append_ucs(static_cast<const Py_UCS4 *>(data), size, out);
    out.push_back('"');
}

void append_wire(nb::handle value, JsonOut &out) {
    PyObject *v = value.ptr();
    PyTypeObject *t = Py_TYPE(v);
    if (t == &PyFloat_Type)
        append_float_wire(PyFloat_AS_DOUBLE(v), out);
    else if (t == &PyLong_Type)
        append_int_wire(v, out);
    else if (t == &PyUnicode_Type)
        append_string_wire(v, out);
    else if (t == &PyList_Type || t == &PyTuple_Type)
        append_sequence(value, out);
    else if (t == &PyDict_Type)
        append_mapping(value, out);
    else
        append_by_rules(value, out);
}

void append_element(const ElementConverter &convert, nb::handle element, JsonOut &out) {
    if (convert.direct())
        append_wire(element, out);
    else
        append_json(convert(element), out);
}

// orjson's encoding of the types it takes without options; the dict keys
// it refuses are written as json.dumps writes them.
void append_json(nb::handle value, JsonOut &out) {
    PyObject *v = value.ptr();
    if (v == Py_None) {
        out.append("null");
    } else if (v == Py_True) {
        out.append("true");
    } else if (v == Py_False) {
        out.append("false");
    } else if (PyUnicode_Check(v)) {
        append_text(v, out);
    } else if (PyLong_Check(v)) {
        append_int(v, out);
    } else if (PyFloat_Check(v)) {
        append_double(PyFloat_AS_DOUBLE(v), out);
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
        RecursionGuard guard(kToWire);
        out.push_back('[');
        bool list = PyList_Check(v);
        for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v)); ++i) {
            if (i)
                out.push_back(',');
            nb::object item = nb::borrow(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i));
            append_json(item, out);
        }
        out.push_back(']');
    } else if (PyDict_Check(v)) {
        RecursionGuard guard(kToWire);
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        bool first = true;
        while (PyDict_Next(v, &pos, &key, &item)) {
            nb::object k = nb::borrow(key), held = nb::borrow(item);
            if (!first)
                out.push_back(',');
            first = false;
            append_key(k.ptr(), out);
            out.push_back(':');
            append_json(held, out);
        }
        out.push_back('}');
    } else {
        PyErr_Format(PyExc_TypeError, "Type is not JSON serializable: %.200s", Py_TYPE(v)->tp_name);
        throw nb::python_error();
    }
}

JsonOut::JsonOut() : bytes_(PyBytes_FromStringAndSize(nullptr, 256)) {
    if (!bytes_)
        throw nb::python_error();
    data_ = PyBytes_AS_STRING(bytes_);
    capacity_ = 256;
}

void JsonOut::grow(size_t size) {
    size_t capacity = std::max(capacity_ * 2, size_ + size);
    if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(capacity)) < 0)
        throw nb::python_error();  // the bytes object is gone; the destructor finds null
    data_ = PyBytes_AS_STRING(bytes_);
    capacity_ = capacity;
}

nb::bytes JsonOut::finish() {
    if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(size_)) < 0)
        throw nb::python_error();
    nb::bytes text = nb::steal<nb::bytes>(bytes_);
    bytes_ = nullptr;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return text;
}

nb::bytes wire_json(nb::handle value) {
    JsonOut out;
    append_element(element_converter(), value, out);
    return out.finish();
}

void init_wire_json(nb::module_ &m) {
    nb::object fn = nb::cpp_function(&wire_json, nb::arg("value").none(), nb::name("to_wire_json"),
                                     "The UTF-8 JSON text of Serializer.to_wire(value), as bytes, written "
                                     "without building the wire value.");
    nb::object serializer = m.attr("Serializer");
    check(
        PyObject_SetAttrString(serializer.ptr(), "to_wire_json", owned(PyStaticMethod_New(fn.ptr())).ptr()));
    m.attr("_wire_json_api") =
        owned(PyCapsule_New(const_cast<WireJsonApi *>(&kApi), kWireJsonCapsule, nullptr));
}

}  // namespace vantrel
