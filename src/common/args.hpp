// Exact argument typing: a parameter declared as a built-in type accepts
// that type only, not subclasses and not None.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex {

namespace nb = nanobind;

// Raises TypeError "Argument 'NAME' has incorrect type (expected T, got U)"
// unless `obj` is exactly of `type` (or None, when `optional`).
void require_exact(nb::handle obj, PyTypeObject *type, const char *name, bool optional = false);

inline void require_str(nb::handle obj, const char *name, bool optional = false) {
    require_exact(obj, &PyUnicode_Type, name, optional);
}
inline void require_int(nb::handle obj, const char *name, bool optional = false) {
    require_exact(obj, &PyLong_Type, name, optional);
}
inline void require_list(nb::handle obj, const char *name, bool optional = false) {
    require_exact(obj, &PyList_Type, name, optional);
}
inline void require_dict(nb::handle obj, const char *name, bool optional = false) {
    require_exact(obj, &PyDict_Type, name, optional);
}

}  // namespace tarvex
