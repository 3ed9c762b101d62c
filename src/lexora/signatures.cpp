// Signature help: the callable around the cursor and the parameter being
// typed, as a Monaco signature-help result.
#include <nanobind/nanobind.h>

#include "lexora/globals.hpp"
#include "lexora/lexora.hpp"

namespace lexora {

using namespace nb::literals;

namespace {

bool is_attribute_or_type_error(const nb::python_error &e) {
    return e.matches(PyExc_AttributeError) || e.matches(PyExc_TypeError);
}

nb::dict signature_result(nb::object signatures, nb::object active_parameter, nb::object error) {
    nb::dict result;
    result["signatures"] = signatures;
    result["activeSignature"] = 0;
    result["activeParameter"] = active_parameter;
    result["error"] = error;
    return result;
}

nb::list parameter_entries(nb::handle signature) {
    nb::list entries;
    for (nb::handle param : signature.attr("params")) {
        nb::dict entry;
        entry["label"] = param.attr("name");
        try {
            nb::object description = param.attr("description");
            if (PyObject_IsTrue(description.ptr()) == 1)
                entry["documentation"] = description;
        } catch (nb::python_error &e) {
            if (!is_attribute_or_type_error(e))
                throw;
        }
        entries.append(entry);
    }
    return entries;
}

nb::object signature_documentation(nb::handle signature) {
    try {
        nb::object text = signature.attr("docstring")("raw"_a = true);
        if (PyObject_IsTrue(text.ptr()) == 1)
            return text;
    } catch (nb::python_error &e) {
        if (!is_attribute_or_type_error(e))
            throw;
    }
    return nb::str("");
}

}  // namespace

nb::dict Lexora::get_signature_help(const CursorRequest &request) {
    return at_cursor(
        "get_signature_help", "get_signatures", request,
        [&](nb::handle, nb::handle signatures) {
            if (nb::len(signatures) == 0) {
                log().debug("[LSP] No signatures found");
                return signature_result(nb::list(), nb::int_(0), nb::none());
            }
            // Only the first signature is shown, so activeSignature stays 0.
            nb::object signature = signatures[0];
            nb::list parameters = parameter_entries(signature);
            nb::str parameter_text = format_signature(signature);
            nb::object documentation = signature_documentation(signature);

            nb::object name = signature.attr("name");
            nb::object label_name = PyObject_IsTrue(name.ptr()) == 1 ? name : nb::str("function");
            nb::object label = label_name + parameter_text;
            nb::object index = signature.attr("index");
            nb::object active_parameter = index.is_none() ? nb::int_(0) : index;

            nb::dict entry;
            entry["label"] = label;
            entry["documentation"] = documentation;
            entry["parameters"] = parameters;
            nb::list entries;
            entries.append(entry);
            nb::dict result = signature_result(entries, active_parameter, nb::none());
            log().debug("[LSP] Signature help: ", name, ", activeParam=", active_parameter);
            return result;
        },
        [](nb::str error) { return signature_result(nb::list(), nb::int_(0), error); });
}

}  // namespace lexora
