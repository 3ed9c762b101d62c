// The one serializer of outgoing messages, and the reader of incoming ones.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel {

namespace nb = nanobind;

// Chooses orjson when it imports, the standard json module otherwise.
void init_json_dumps(nb::module_ &module);

// json_dumps(obj) -> str: compact orjson output decoded as UTF-8, or
// json.dumps(obj) with the standard options.
nb::str json_dumps(nb::handle obj);

// Whether orjson imported: then the kernel's own json_dumps is orjson's
// text, and messages may travel as its UTF-8 bytes.
bool have_orjson();

// orjson.dumps(obj): the UTF-8 bytes json_dumps decodes. Only with orjson.
nb::bytes orjson_bytes(nb::handle obj);

// orjson.Fragment(text): JSON text orjson splices into what it writes
// instead of encoding it again. Only with orjson.
nb::object json_fragment(nb::handle text);

// The value of JSON text (str or UTF-8 bytes) by the standard json module:
// exact where orjson is not (integers beyond 64 bits, lone surrogates).
nb::object json_module_loads(nb::handle text);

// The value of an incoming frame: orjson.loads when it imports; what orjson
// refuses is read by the standard json module, so that every frame it read
// before still reads. Raises json.JSONDecodeError for text neither reads.
nb::object json_loads(nb::handle text);

}  // namespace tarvex::kernel
