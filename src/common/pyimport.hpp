// Small import helpers shared by the modules.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace tarvex {

namespace nb = nanobind;

// The package that contains `module` ("a.b" for module "a.b.c").
std::string parent_package(nb::handle module);

// Imports `package.name`; when that raises ImportError, the top-level
// module `name` instead. Any other failure propagates.
nb::object import_sibling(const std::string &package, const char *name);

}  // namespace tarvex
