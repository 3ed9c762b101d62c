#include "vantrel/traceback_trim.hpp"

#include "vantrel/refs.hpp"

namespace vantrel {

namespace {

bool is_machinery(PyTracebackObject *entry, PyObject *machinery_names) {
    if (!machinery_names)
        return false;
    PyCodeObject *code = PyFrame_GetCode(entry->tb_frame);
    int found = PySequence_Contains(machinery_names, code->co_name);
    Py_DECREF(code);
    if (found < 0) {
        PyErr_Clear();
        return false;
    }
    return found == 1;
}

}  // namespace

void rethrow_trimmed(nb::python_error &error) {
    error.restore();
    PyObject *exc = PyErr_GetRaisedException();
    if (!PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject *>(PyExc_Exception))) {
        PyErr_SetRaisedException(exc);
        throw nb::python_error();
    }

    PyObject *machinery_names = nullptr;
    if (PyDict_GetItemRef(refs.module_dict, names._internal_officejs_names, &machinery_names) < 0)
        PyErr_Clear();

    PyObject *tb = PyException_GetTraceback(exc);
    while (tb && is_machinery(reinterpret_cast<PyTracebackObject *>(tb), machinery_names)) {
        PyObject *next = reinterpret_cast<PyObject *>(reinterpret_cast<PyTracebackObject *>(tb)->tb_next);
        Py_XINCREF(next);
        Py_DECREF(tb);
        tb = next;
    }
    Py_XDECREF(machinery_names);

    PyException_SetTraceback(exc, tb ? tb : Py_None);
    Py_XDECREF(tb);
    PyException_SetCause(exc, nullptr);  // also sets __suppress_context__
    PyErr_SetRaisedException(exc);
    throw nb::python_error();
}

}  // namespace vantrel
