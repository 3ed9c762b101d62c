#include "common/held_lock.hpp"

#include "common/errors.hpp"

namespace tarvex {

namespace {

PyObject *method_name(const char *name) {
    PyObject *interned = PyUnicode_InternFromString(name);  // lives as long as the process
    if (!interned)
        throw nanobind::python_error();
    return interned;
}

}  // namespace

HeldLock::HeldLock(nanobind::object lock) : lock_(std::move(lock)) {
    static PyObject *acquire = method_name("acquire");
    owned(PyObject_CallMethodNoArgs(lock_.ptr(), acquire));
}

HeldLock::~HeldLock() {
    if (!lock_.is_valid())
        return;
    static PyObject *release = method_name("release");
    ErrorStash keep_pending_error;
    PyObject *done = PyObject_CallMethodNoArgs(lock_.ptr(), release);
    if (done)
        Py_DECREF(done);
    else
        PyErr_WriteUnraisable(lock_.ptr());
}

}  // namespace tarvex
