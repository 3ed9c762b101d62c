// Holds a Python lock (threading.Lock) for the life of a scope. acquire()
// releases the GIL while it blocks, like `with lock:` in Python.
#pragma once

#include <nanobind/nanobind.h>

#include "common/errors.hpp"
#include "vantrel/refs.hpp"

namespace vantrel {

class HeldLock {
public:
    explicit HeldLock(nb::object lock) : lock_(std::move(lock)) {
        checked(PyObject_CallMethodNoArgs(lock_.ptr(), names.acquire));
    }
    ~HeldLock() {
        tarvex::ErrorStash keep_pending_error;
        PyObject *done = PyObject_CallMethodNoArgs(lock_.ptr(), names.release);
        if (done)
            Py_DECREF(done);
        else
            PyErr_WriteUnraisable(lock_.ptr());
    }
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;

private:
    nb::object lock_;
};

}  // namespace vantrel
