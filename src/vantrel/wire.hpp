// Conversion between Python values and wire values
// {"type": tag, "value": payload, "isSpec": flag}.
#pragma once

#include <nanobind/nanobind.h>

#include "vantrel/refs.hpp"

namespace vantrel {

namespace nb = nanobind;

// Serializer.to_wire: any value to a new wire value.
nb::object to_wire(nb::handle value);

// Serializer.from_wire: a wire value (exactly a dict) to a Python value.
nb::object from_wire(nb::handle wire);

// A new list of Serializer.from_wire of each element of `values` (exactly
// a list), the first failure stopping it.
nb::list from_wire_list(nb::handle values);

// Serializer.<name> as a caller written in Python would reach it: the class
// attribute, looked up at this call (so a replacement is honoured).
nb::object call_serializer(PyObject *name, nb::handle arg);

// Converts the elements of one container the way the class attribute
// would. It is looked up once per container: when it is still this
// module's own function, elements are converted directly in C++.
class ElementConverter {
public:
    ElementConverter(PyObject *name, PyObject *own_function);
    nb::object operator()(nb::handle element) const;

    // True when elements may be converted by a direct C++ call.
    bool direct() const { return direct_; }

private:
    PyObject *name_;
    bool direct_;
    bool to_wire_;
};

// Table rule: a pandas Series or DataFrame as an "Array" of rows under a
// header row (wire/tables.cpp).
bool is_table(PyObject *value);
nb::object table_to_wire(nb::handle table, const ElementConverter &convert);

// The missing-value test between the dict and table rules.
bool is_missing(nb::handle value);

// numpy's own number scalars, which follow the missing-value test: a sum
// over a column must reach a cell as a number, not as its text. A
// timedelta64 is a numpy integer too, but a duration is no count.
inline bool is_numpy_integer(PyObject *value) {
    return PyObject_TypeCheck(value, refs.np_integer) && !PyObject_TypeCheck(value, refs.np_timedelta64);
}
inline bool is_numpy_floating(PyObject *value) { return PyObject_TypeCheck(value, refs.np_floating); }

// Serializer.to_wire of a table goes through this list: the header row,
// then each row of the frame's values.
nb::object table_rows(nb::handle table);

// Wire value from a template of refs, with `value` as its payload.
nb::object make_wire(PyObject *tmpl, nb::handle value);

// from_wire of a value already known to be exactly a dict.
nb::object from_wire_dict(PyObject *wire);

void init_serializer(nb::module_ &m);

}  // namespace vantrel
