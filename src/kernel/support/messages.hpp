// Reading fields of incoming messages and building outgoing ones.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "common/py_ops.hpp"  // get() and truthy(), which message reading goes through

namespace tarvex::kernel {

namespace nb = nanobind;

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

}  // namespace tarvex::kernel
