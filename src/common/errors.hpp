// Turning C++ exceptions into Python exceptions at the edges where C++ code
// is entered from Python outside nanobind's own wrappers.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>

namespace tarvex {

// Takes ownership of a new reference from the C API; NULL means the call
// failed and its Python error is pending, which is raised.
template <typename T = nanobind::object>
T owned(PyObject *result) {
    if (!result)
        throw nanobind::python_error();
    return nanobind::steal<T>(result);
}

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
