// Catching failures in C++ code that must treat them the way `except
// Exception` does in Python: C++ exceptions are turned into the Python
// exceptions they stand for, and BaseExceptions that are not Exceptions
// (cancellation, GeneratorExit, SystemExit) are left to propagate.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <optional>

namespace tarvex::kernel {

namespace nb = nanobind;

// The exception being handled (inside a catch block) as a python_error.
nb::python_error current_python_error();

// Inside `catch (...)`: the exception as a Python exception object when it
// is an Exception; rethrows anything else.
nb::object catch_exception();

// Inside `catch (...)`: the exception object whatever its class (used where
// user code runs and nothing may escape, SystemExit included). Rethrows
// only what is not a Python exception at all after conversion.
nb::object catch_any();

// Raises `exc` (an exception instance) as the current Python error.
[[noreturn]] void raise(nb::handle exc);

}  // namespace tarvex::kernel
