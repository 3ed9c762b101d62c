// The module's own globals as the rest of the module reaches them. Globals
// are read at call time, the way Python code reads its module globals, so
// that rebinding one (jedi, PYFLAKES_AVAILABLE, ...) takes effect at once.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>

#include "common/log.hpp"

namespace lexora {

namespace nb = nanobind;

// Called once from the module's init function.
void bind_module(nb::module_ module);

nb::handle module();
nb::object global(const char *name);
const tarvex::Logger &log();

// str(exception) for a caught Python exception.
nb::str exception_text(const nb::python_error &error);

// True when `error` is an Exception (not a BaseException such as
// KeyboardInterrupt, which must keep unwinding).
inline bool is_exception(const nb::python_error &error) { return error.matches(PyExc_Exception); }

// Raises `type` with `text` as a Python exception.
[[noreturn]] void raise(PyObject *type, const char *text);

// Runs `body` and returns its result; when it raises an Exception, returns
// `failure(text)` instead, with text = str(exception). BaseExceptions that
// are not Exceptions (KeyboardInterrupt, SystemExit) keep unwinding.
template <typename Body, typename Failure>
auto guarded(Body &&body, Failure &&failure) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        return failure(exception_text(e));
    } catch (const std::exception &e) {
        return failure(nb::str(e.what()));
    }
}

}  // namespace lexora
