// Traceback texts, error records and error locations.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel {

namespace nb = nanobind;

// The complete traceback text of exception instance `e`.
nb::str extract_tracebak_string(nb::handle e);

// {"type": class name, "message": str(e), "traceback": full text}.
nb::dict error_record(nb::handle e);

// The same record from its three parts.
nb::dict error_record(nb::handle type_name, nb::handle message, nb::handle traceback_text);

// {"module", "line", "file"} of the innermost virtual-module frame named in
// `traceback_text`, or {}.
nb::dict parse_error_location(nb::object traceback_text, nb::handle in_memory_modules);

// Starts the traceback of `e`, raised by an import, at the first frame that
// is not the import system's own, so the user sees their module first.
void drop_import_system_frames(nb::handle e);

void define_traceback_functions(nb::module_ &m);

}  // namespace tarvex::kernel
