// How another extension module of this process (the kernel) calls the
// wire-JSON writer and the argument decoder: vantrel's attribute
// `_wire_json_api` is a capsule of this name holding a WireJsonApi.
//
//   auto *api = static_cast<const vantrel::WireJsonApi *>(
//       PyCapsule_GetPointer(capsule, vantrel::kWireJsonCapsule));
#pragma once

#include <Python.h>

namespace vantrel {

inline constexpr const char *kWireJsonCapsule = "vantrel.wire_json";

struct WireJsonApi {
    // The UTF-8 JSON text of Serializer.to_wire(value): a new bytes object,
    // or null with a Python exception set. Called with the GIL held; no C++
    // exception crosses it.
    PyObject *(*wire_json)(PyObject *value);
    // A new list of Serializer.from_wire of each element of `values` (a
    // list), in order; or null with a Python exception set, the first
    // element that fails stopping it. A replaced from_wire is honoured.
    PyObject *(*from_wire_list)(PyObject *values);
};

}  // namespace vantrel
