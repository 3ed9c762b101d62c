#include "kernel/execution/user_functions.hpp"

#include "kernel/execution/worker.hpp"

namespace tarvex::kernel {

FunctionLookup look_up_function(nb::handle module_name, nb::handle function_name) {
    using Missing = FunctionLookup::Missing;
    import_user_module(module_name);
    nb::object module = loaded_module(module_name);
    if (!module.is_valid())
        return {Missing::module, {}, {}};
    if (!has_attribute(module, function_name))
        return {Missing::function, module, {}};
    nb::object function = module.attr(function_name);
    return {Missing::nothing, module, function};
}

nb::object user_function(nb::handle module_name, nb::handle function_name, const char *module_missing) {
    FunctionLookup found = look_up_function(module_name, function_name);
    switch (found.missing) {
        case FunctionLookup::Missing::module:
            PyErr_Format(PyExc_ImportError, module_missing, module_name.ptr());
            throw nb::python_error();
        case FunctionLookup::Missing::function:
            PyErr_Format(PyExc_AttributeError, "Function '%S' not found in module '%S'", function_name.ptr(),
                         module_name.ptr());
            throw nb::python_error();
        case FunctionLookup::Missing::nothing:
            break;
    }
    return found.function;
}

}  // namespace tarvex::kernel
