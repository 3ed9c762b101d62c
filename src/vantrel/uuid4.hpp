// Random (version 4) UUIDs as 32 lowercase hexadecimal digits, the text of
// uuid.uuid4().hex; used for request ids and messaging generations.
#pragma once

#include <nanobind/nanobind.h>

namespace vantrel {

namespace nb = nanobind;

nb::object uuid4_hex();

}  // namespace vantrel
