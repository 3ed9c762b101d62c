// What the proxies do: attribute reads and writes, item reads, calls and
// the release of the add-in's object, each one request through `messaging`.
#pragma once

#include <nanobind/nanobind.h>

namespace vantrel {

namespace nb = nanobind;

nb::object cw_getattr(nb::handle self, nb::handle name);
nb::object cw_getitem(nb::handle self, nb::handle index);
void cw_setattr(nb::handle self, nb::handle name, nb::handle value);
nb::object cw_call(nb::handle self, nb::args args, nb::kwargs kwargs);
void cw_del(nb::handle self);

}  // namespace vantrel
