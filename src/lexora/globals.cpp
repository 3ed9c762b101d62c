#include "lexora/globals.hpp"

namespace lexora {

namespace {
// Both live as long as the interpreter; never destroyed on purpose, since
// destruction would run after finalization.
PyObject *the_module = nullptr;
tarvex::Logger *the_logger = nullptr;
}  // namespace

void bind_module(nb::module_ module) {
    the_module = module.inc_ref().ptr();
    the_logger = new tarvex::Logger(module.attr("logger"));
}

nb::handle module() { return the_module; }

nb::object global(const char *name) { return nb::handle(the_module).attr(name); }

const tarvex::Logger &log() { return *the_logger; }

nb::str exception_text(const nb::python_error &error) { return nb::str(error.value()); }

void raise(PyObject *type, const char *text) {
    PyErr_SetString(type, text);
    throw nb::python_error();
}

}  // namespace lexora
