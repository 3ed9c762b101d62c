#include "vantrel/response.hpp"

#include "vantrel/refs.hpp"

namespace vantrel {

nb::object remote_error_text(nb::handle response) {
    nb::object error = get(response, names.error);
    nb::object text;
    if (PyDict_Check(error.ptr()))
        text = get(error, names.message);
    else if (PyUnicode_Check(error.ptr()))
        text = error;
    if (text.is_valid() && truthy(text))
        return text;
    return nb::object();
}

}  // namespace vantrel
