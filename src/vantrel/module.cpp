// The object bridge: wire values, the request channel and Office.js proxies.
#include <nanobind/nanobind.h>

#include "common/coro.hpp"

namespace nb = nanobind;
using namespace tarvex;

NB_MODULE(vantrel, m) {
    register_coro_type(m);
    // The wire format recognises their types; the bridge needs both.
    nb::module_::import_("numpy");
    nb::module_::import_("pandas");
}
