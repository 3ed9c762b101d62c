#include "args.hpp"

namespace tarvex {

void require_exact(nb::handle obj, PyTypeObject *type, const char *name, bool optional) {
    PyTypeObject *actual = Py_TYPE(obj.ptr());
    if (actual == type || (optional && obj.is_none()))
        return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, type->tp_name, actual->tp_name);
    throw nb::python_error();
}

}  // namespace tarvex
