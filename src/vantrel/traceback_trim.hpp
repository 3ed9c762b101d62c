// User code should see a proxy failure starting at its own frame, not in
// the proxy machinery.
#pragma once

#include <nanobind/nanobind.h>

namespace vantrel {

namespace nb = nanobind;

// Re-raises `error` with the leading traceback entries whose function name
// is in _internal_officejs_names dropped, no cause and no shown context.
// Exceptions that are not `Exception`s pass unchanged.
[[noreturn]] void rethrow_trimmed(nb::python_error &error);

template <typename Fn>
auto trimmed(Fn &&fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (nb::python_error &error) {
        rethrow_trimmed(error);
    }
}

}  // namespace vantrel
