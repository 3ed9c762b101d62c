// Reading the add-in's answer to one request.
#pragma once

#include <nanobind/nanobind.h>

namespace vantrel {

namespace nb = nanobind;

// The failure text of a response: "error"'s "message" when "error" is an
// object, "error" itself when it is a text; null when there is none.
nb::object remote_error_text(nb::handle response);

}  // namespace vantrel
