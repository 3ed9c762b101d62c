// Finding a function of a workbook module: the one lookup every handler
// that calls one uses. Each handler says a miss in its own words.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel {

namespace nb = nanobind;

// What was found of `module.function`, and what was not.
struct FunctionLookup {
    enum class Missing { nothing, module, function };
    Missing missing = Missing::nothing;
    nb::object module;    // sys.modules[module_name], unless the module is missing
    nb::object function;  // only when nothing is missing
};

// Imports the module through the in-memory loader (import_user_module),
// then looks it up in sys.modules and the function in it. A failure of the
// import itself (the module's body raising) propagates.
FunctionLookup look_up_function(nb::handle module_name, nb::handle function_name);

// look_up_function for a caller that raises on a miss: ImportError with
// `module_missing` (a PyUnicode_FromFormat text given the module's name as
// its one %S), or AttributeError "Function '<f>' not found in module '<m>'".
nb::object user_function(nb::handle module_name, nb::handle function_name, const char *module_missing);

}  // namespace tarvex::kernel
