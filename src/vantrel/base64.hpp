// Standard base64 (RFC 4648 alphabet, "=" fill) of a buffer, as ASCII text.
#pragma once

#include <nanobind/nanobind.h>

namespace vantrel {

namespace nb = nanobind;

// The base64 text of the bytes of any object that exports a buffer
// (bytes, bytearray, memoryview, also non-contiguous views).
nb::object base64_text(nb::handle buffer_owner);

}  // namespace vantrel
