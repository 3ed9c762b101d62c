// Standard base64 (RFC 4648 alphabet, "=" fill) of a buffer, as ASCII text.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

namespace vantrel {

namespace nb = nanobind;

// The base64 text of the bytes of any object that exports a buffer
// (bytes, bytearray, memoryview, also non-contiguous views).
nb::object base64_text(nb::handle buffer_owner);

// The same text, written where `room(size)` says its `size` characters go.
void write_base64(nb::handle buffer_owner, const std::function<char *(size_t)> &room);

}  // namespace vantrel
