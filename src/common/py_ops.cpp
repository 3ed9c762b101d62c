#include "common/py_ops.hpp"

namespace tarvex {

PyObject *interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return name;
}

namespace {

PyObject *get_name() {
    static PyObject *name = interned("get");
    return name;
}

}  // namespace

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object get(nb::handle mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(mapping.ptr(), key, &value) < 0)
            throw nb::python_error();
        return value ? nb::steal(value) : nb::none();
    }
    PyObject *value = PyObject_CallMethodOneArg(mapping.ptr(), get_name(), key);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

nb::object get(nb::handle mapping, PyObject *key, nb::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(mapping.ptr(), key, &value) < 0)
            throw nb::python_error();
        return value ? nb::steal(value) : nb::borrow(fallback);
    }
    return mapping.attr(get_name())(nb::handle(key), fallback);
}

void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    int r = PyDict_CheckExact(mapping.ptr()) ? PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr())
                                             : PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr());
    if (r < 0)
        throw nb::python_error();
}

nb::object pop(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = nullptr;
        if (PyDict_Pop(mapping.ptr(), key.ptr(), &value) < 0)
            throw nb::python_error();
        return value ? nb::steal(value) : nb::none();
    }
    static PyObject *pop_name = interned("pop");
    return mapping.attr(pop_name)(key, nb::none());
}

nb::str repr_text(nb::handle obj) {
    PyObject *text = PyObject_Repr(obj.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

nb::object type_name_of(nb::handle obj) {
    PyObject *name = PyType_GetName(Py_TYPE(obj.ptr()));
    if (!name)
        throw nb::python_error();
    return nb::steal(name);
}

nb::object module_global(PyObject *globals, PyObject *name) {
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) < 0)
        throw nb::python_error();
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw nb::python_error();
    }
    return nb::steal(value);
}

nb::object sys_path() {
    PyObject *path = PySys_GetObject("path");  // borrowed
    if (!path) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.path");
        throw nb::python_error();
    }
    return nb::borrow(path);
}

}  // namespace tarvex
