// Guards the C stack against deep or self-containing structures: they end
// in RecursionError, as a Python rendering of the conversions would.
#pragma once

#include <nanobind/nanobind.h>

namespace vantrel {

class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where))
            throw nanobind::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

inline constexpr const char *kToWire = " while converting a value to the wire format";
inline constexpr const char *kFromWire = " while converting a wire value";

}  // namespace vantrel
