// The one serializer of outgoing messages.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel {

namespace nb = nanobind;

// Chooses orjson when it imports, the standard json module otherwise.
void init_json_dumps(nb::module_ &module);

// json_dumps(obj) -> str: compact orjson output decoded as UTF-8, or
// json.dumps(obj) with the standard options.
nb::str json_dumps(nb::handle obj);

}  // namespace tarvex::kernel
