// Random (version 4) UUIDs, as uuid.uuid4() makes them.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex {

namespace nb = nanobind;

// uuid.uuid4().hex: 32 lowercase hexadecimal digits.
nb::str uuid4_hex();

// str(uuid.uuid4()): the 36-character form with dashes.
nb::str uuid4_text();

}  // namespace tarvex
