// InMemoryModuleLoader: makes the workbook's modules, held as source text,
// importable by name; their file name in tracebacks is "<virtual:NAME>".
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel {

namespace nb = nanobind;

void define_in_memory_loader(nb::module_ &m);

// Creates the process's one instance as the module global
// `in_memory_loader` and puts it first on sys.meta_path.
void create_in_memory_loader(nb::module_ &m);

// True (after inserting it at position 0) when the loader was not yet on
// sys.meta_path.
bool ensure_loader_registered();

}  // namespace tarvex::kernel
