#include "kernel/support/failures.hpp"

#include "common/errors.hpp"

namespace tarvex::kernel {

nb::python_error current_python_error() {
    try {
        throw;
    } catch (nb::python_error &e) {
        return std::move(e);
    } catch (...) {
        set_error_from(std::current_exception());
        return nb::python_error();
    }
}

nb::object catch_exception() {
    nb::python_error error = current_python_error();
    if (!error.matches(PyExc_Exception))
        throw std::move(error);
    return nb::borrow(error.value());
}

nb::object catch_any() { return nb::borrow(current_python_error().value()); }

void raise(nb::handle exc) {
    PyErr_SetRaisedException(nb::handle(exc).inc_ref().ptr());
    throw nb::python_error();
}

}  // namespace tarvex::kernel
