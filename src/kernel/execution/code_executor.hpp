// CodeExecutor: runs code typed in the editor in a namespace that persists
// for the life of the kernel.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel {

namespace nb = nanobind;

void define_code_executor(nb::module_ &m);

}  // namespace tarvex::kernel
