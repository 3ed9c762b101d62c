// Wire value -> Python value. Arrays and dictionaries become the collection
// proxies, references become OfficeJsObject proxies.
#include <nanobind/nanobind.h>

#include <string_view>

#include "common/args.hpp"
#include "vantrel/dates.hpp"
#include "vantrel/proxies.hpp"
#include "vantrel/recursion_guard.hpp"
#include "vantrel/refs.hpp"
#include "vantrel/wire.hpp"

namespace vantrel {

namespace {

enum class Tag { Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, Other };

struct TagText {
    std::string_view text;
    Tag tag;
};
constexpr TagText kTagTexts[] = {
    {"Null", Tag::Null},   {"Bool", Tag::Bool},     {"Int", Tag::Int},
    {"Float", Tag::Float}, {"String", Tag::String}, {"Date", Tag::Date},
    {"Bytes", Tag::Bytes}, {"Array", Tag::Array},   {"Dict", Tag::Dict},
};

// Tags compare as exact texts. Wire values built here carry the interned
// tag objects, so identity settles most lookups.
Tag classify(PyObject *tag) {
    if (tag == names.Float)
        return Tag::Float;
    if (tag == names.Int)
        return Tag::Int;
    if (tag == names.String)
        return Tag::String;
    if (!tag || !PyUnicode_Check(tag) || !PyUnicode_IS_ASCII(tag))
        return Tag::Other;
    std::string_view text(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(tag)),
                          static_cast<size_t>(PyUnicode_GET_LENGTH(tag)));
    for (const TagText &known : kTagTexts)
        if (known.text == text)
            return known.tag;
    return Tag::Other;
}

nb::object field(PyObject *wire, PyObject *key) {
    PyObject *value = nullptr;
    check(PyDict_GetItemRef(wire, key, &value));
    return value ? nb::steal(value) : nb::none();
}

ElementConverter element_converter() { return ElementConverter(names.from_wire, refs.from_wire_fn); }

nb::object convert_element(const ElementConverter &convert, nb::handle element);

void append_converted(nb::handle array, nb::handle element, const ElementConverter &convert) {
    check(PyList_Append(array.ptr(), convert_element(convert, element).ptr()));
}

// Rows of a range and other short payloads are converted into a tuple,
// then moved into the proxy in one step: appending one by one regrows its
// storage several times per row, while a short tuple comes from the
// interpreter's free list. Conversions may run user code that changes the
// payload, so its length is read at every step.
constexpr Py_ssize_t kShortPayload = 256;

void fill_short(nb::handle array, PyObject *payload, const ElementConverter &convert) {
    Py_ssize_t reserved = PyList_GET_SIZE(payload);
    nb::object converted = owned(PyTuple_New(reserved));
    Py_ssize_t i = 0;
    for (; i < reserved && i < PyList_GET_SIZE(payload); ++i) {
        nb::object element = nb::borrow(PyList_GET_ITEM(payload, i));
        PyTuple_SET_ITEM(converted.ptr(), i, convert_element(convert, element).release().ptr());
    }
    if (i < reserved)  // the payload shrank
        converted = owned(PyTuple_GetSlice(converted.ptr(), 0, i));
    check(PyList_SetSlice(array.ptr(), 0, 0, converted.ptr()));
    for (; i < PyList_GET_SIZE(payload); ++i)  // it grew
        append_converted(array, nb::borrow(PyList_GET_ITEM(payload, i)), convert);
}

void fill_array(nb::handle array, PyObject *payload, const ElementConverter &convert) {
    if (!PyList_CheckExact(payload)) {
        for_each_yielded(payload, [&](nb::handle element) { append_converted(array, element, convert); });
    } else if (PyList_GET_SIZE(payload) <= kShortPayload) {
        fill_short(array, payload, convert);
    } else {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(payload); ++i)
            append_converted(array, nb::borrow(PyList_GET_ITEM(payload, i)), convert);
    }
}

void fill_dict(nb::handle dict, PyObject *payload, const ElementConverter &convert) {
    for_each_yielded(nb::handle(payload).attr(names.items)(), [&](nb::handle pair) {
        nb::object key = pair[0], value = pair[1];
        check(PyDict_SetItem(dict.ptr(), key.ptr(), convert_element(convert, value).ptr()));
    });
}

using Fill = void (*)(nb::handle collection, PyObject *payload, const ElementConverter &convert);

// An array or dict proxy for the wire's id, filled with its converted
// payload when it has one.
nb::object collection_from_wire(PyObject *wire, nb::object (*make)(nb::handle object_id), Fill fill) {
    RecursionGuard guard(kFromWire);
    nb::object collection = make(field(wire, names.id));
    nb::object payload = field(wire, names.value);
    if (!payload.is_none())
        fill(collection, payload.ptr(), element_converter());
    return collection;
}

nb::object bytes_from_wire(nb::handle payload) {
    nb::handle text = truthy(payload) ? payload : nb::handle(names.empty);
    return owned(PyObject_CallOneArg(refs.b64decode, text.ptr()));
}

// Scalars as the add-in sends them (a payload of exactly the tag's type)
// convert without running any Python code, so borrowed references do.
// Null when the value needs the general path; no error is set then.
PyObject *scalar_fast(PyObject *wire) {
    PyObject *tag = PyDict_GetItemWithError(wire, names.type);
    if (!tag)
        return nullptr;
    PyObject *value = PyDict_GetItemWithError(wire, names.value);
    if (!value && PyErr_Occurred())
        return nullptr;
    switch (classify(tag)) {
        case Tag::Float:
            if (value && PyFloat_CheckExact(value))
                return Py_NewRef(value);
            break;
        case Tag::Int:
            if (value && PyLong_CheckExact(value))
                return Py_NewRef(value);
            break;
        case Tag::String:
            if (value && PyUnicode_CheckExact(value))
                return Py_NewRef(value);
            break;
        case Tag::Null:
            return Py_NewRef(Py_None);
        case Tag::Bool:
            if (!value || PyBool_Check(value))
                return Py_NewRef(value == Py_True ? Py_True : Py_False);
            break;
        default:
            break;
    }
    return nullptr;
}

nb::object convert_element(const ElementConverter &convert, nb::handle element) {
    if (convert.direct() && PyDict_CheckExact(element.ptr()))
        return from_wire_dict(element.ptr());
    return convert(element);
}

}  // namespace

nb::object from_wire(nb::handle wire) {
    tarvex::require_dict(wire, "wire");
    return from_wire_dict(wire.ptr());
}

nb::list from_wire_list(nb::handle values) {
    nb::list decoded;
    if (PyList_GET_SIZE(values.ptr()) == 0)
        return decoded;
    ElementConverter convert = element_converter();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.ptr()); ++i)
        decoded.append(convert_element(convert, nb::borrow(PyList_GET_ITEM(values.ptr(), i))));
    return decoded;
}

nb::object from_wire_dict(PyObject *wire) {
    if (PyObject *scalar = scalar_fast(wire))
        return nb::steal(scalar);
    if (PyErr_Occurred())
        throw nb::python_error();

    nb::object tag = field(wire, names.type);
    switch (classify(tag.ptr())) {
        case Tag::Null:
            return nb::none();
        case Tag::Bool:
            return nb::bool_(truthy(field(wire, names.value)));
        case Tag::Int:
            return owned(PyNumber_Long(field(wire, names.value).ptr()));
        case Tag::Float:
            return owned(PyNumber_Float(field(wire, names.value).ptr()));
        case Tag::String:
            return owned(PyObject_Str(field(wire, names.value).ptr()));
        case Tag::Date:
            return parse_date(field(wire, names.value));
        case Tag::Bytes:
            return bytes_from_wire(field(wire, names.value));
        case Tag::Array:
            return collection_from_wire(wire, new_officejs_array, fill_array);
        case Tag::Dict:
            return collection_from_wire(wire, new_officejs_dict, fill_dict);
        case Tag::Other:
            break;
    }
    nb::object payload = field(wire, names.value);
    if (truthy(field(wire, names.isSpec)))
        return new_officejs_object(owned(PyNumber_Long(payload.ptr())), tag);
    return owned(PyObject_Str(payload.ptr()));
}

}  // namespace vantrel
