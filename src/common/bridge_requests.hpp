// The request messages of the object bridge, the same whichever channel
// carries them (Messaging's send handler or the kernel's sys_request).
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex {

namespace nb = nanobind;

// A request as it leaves: a copy of the dict `req` (left unchanged) with a
// new "requestId" and "kind": "request".
nb::dict request_message(nb::handle req);

// Whether `request` releases a proxy (method "DEL"): sent without waiting,
// its answer never read.
bool is_release(nb::handle request);

}  // namespace tarvex
