// The Messaging class and the module's one instance, `messaging`.
#pragma once

#include <nanobind/nanobind.h>

namespace vantrel {

namespace nb = nanobind;

void init_messaging(nb::module_ &m);

}  // namespace vantrel
