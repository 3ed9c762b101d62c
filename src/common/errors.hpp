// Turning C++ exceptions into Python exceptions at the edges where C++ code
// is entered from Python outside nanobind's own wrappers.
#pragma once

#include <exception>

#include <Python.h>

namespace tarvex {

// Sets the Python error indicator from `failure`, the way nanobind does
// for bound functions: python_error is restored as it was, builtin
// exceptions become their Python counterparts.
void set_error_from(const std::exception_ptr &failure) noexcept;

// Keeps the current Python exception aside for the life of the scope, so
// that cleanup code that calls into Python cannot clobber it.
class ErrorStash {
public:
    ErrorStash() noexcept : saved_(PyErr_GetRaisedException()) {}
    ~ErrorStash() { PyErr_SetRaisedException(saved_); }
    ErrorStash(const ErrorStash &) = delete;
    ErrorStash &operator=(const ErrorStash &) = delete;

private:
    PyObject *saved_;
};

}  // namespace tarvex
