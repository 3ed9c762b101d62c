// Reading fields of incoming messages and building outgoing ones.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace tarvex::kernel {

namespace nb = nanobind;

// `mapping.get(key, fallback)`: a direct lookup for exact dicts, the
// object's own `get` method otherwise (so that odd objects fail the way
// they would in Python).
nb::object get(nb::handle mapping, PyObject *key, nb::handle fallback);
inline nb::object get(nb::handle mapping, PyObject *key) { return get(mapping, key, nb::none()); }

using Field = std::pair<PyObject *, nb::handle>;

// A new dict with the fields in the given order.
nb::dict make_message(std::initializer_list<Field> fields);

// str(obj) as UTF-8.
std::string text_of(nb::handle obj);

// True when `obj` is a str with at least one character.
inline bool is_nonempty_str(nb::handle obj) {
    return PyUnicode_Check(obj.ptr()) && PyUnicode_GET_LENGTH(obj.ptr()) > 0;
}

// list(iterable): always a new list.
nb::list copy_list(nb::handle iterable);

// Python truth value; raises on failure.
bool truthy(nb::handle obj);

}  // namespace tarvex::kernel
