// `with lock:` for a threading.Lock (or anything with acquire/release).
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace tarvex::kernel {

namespace nb = nanobind;

class ThreadLockHeld {
public:
    explicit ThreadLockHeld(nb::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~ThreadLockHeld() {
        PyObject *saved = PyErr_GetRaisedException();
        PyObject *result = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
        if (!result)
            PyErr_WriteUnraisable(lock_.ptr());
        Py_XDECREF(result);
        PyErr_SetRaisedException(saved);
    }
    ThreadLockHeld(const ThreadLockHeld &) = delete;
    ThreadLockHeld &operator=(const ThreadLockHeld &) = delete;

private:
    nb::object lock_;
};

}  // namespace tarvex::kernel
