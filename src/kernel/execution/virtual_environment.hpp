#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel {

namespace nb = nanobind;

void define_virtual_environment(nb::module_ &m);

}  // namespace tarvex::kernel
