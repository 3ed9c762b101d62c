// Python's own operations on objects as C++ functions that raise the
// Python error when the operation fails. Every module uses these; none
// keeps a copy of its own.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex {

namespace nb = nanobind;

// The interned str `text`, a reference kept for the life of the process
// (names looked up often hash once). Interning runs no Python code, so a
// function-local static may hold it without risk of a deadlock on its
// initialisation guard.
PyObject *interned(const char *text);

// bool(obj)
bool truthy(nb::handle obj);

// item in container
bool contains(nb::handle container, nb::handle item);

// mapping.get(key) and mapping.get(key, fallback): a direct lookup for
// exact dicts, the object's own `get` otherwise (so that odd objects fail
// the way they would in Python).
nb::object get(nb::handle mapping, PyObject *key);
nb::object get(nb::handle mapping, PyObject *key, nb::handle fallback);

// mapping[key] = value (directly for exact dicts)
void set_item(nb::handle mapping, nb::handle key, nb::handle value);

// mapping.pop(key, None) (directly for exact dicts)
nb::object pop(nb::handle mapping, nb::handle key);

// repr(obj)
nb::str repr_text(nb::handle obj);

// type(obj).__name__
nb::object type_name_of(nb::handle obj);

// The global `name` of the module whose namespace is `globals`, read at
// each use so that a replaced value takes effect. Absent, it raises
// NameError, as reading the name in the module's own code would. Each
// module has a one-argument accessor over its own namespace.
nb::object module_global(PyObject *globals, PyObject *name);

// sys.path itself (not a copy).
nb::object sys_path();

}  // namespace tarvex
