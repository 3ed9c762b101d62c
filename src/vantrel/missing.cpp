// The missing-value test (pandas' isna on a scalar) applied to values that
// none of the plain-data rules took: pd.NA, NaN of numpy's small float
// types and similar go out as "Null".
#include <nanobind/nanobind.h>

#include "vantrel/proxies.hpp"
#include "vantrel/refs.hpp"
#include "vantrel/wire.hpp"

namespace vantrel {

bool is_missing(nb::handle value) {
    PyObject *v = value.ptr();
    // A proxy answers every attribute it does not hold with a request to
    // the add-in, and isna probes attributes; arrays and tables never give
    // a single answer, so asking would only cost time.
    if (is_proxy_object(v) || is_table(v) || PyObject_TypeCheck(v, refs.np_ndarray))
        return false;

    PyObject *answer = PyObject_CallOneArg(refs.pd_isna, v);
    if (!answer) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    nb::object result = nb::steal(answer);
    if (answer == Py_True)
        return true;
    if (PyObject_TypeCheck(answer, refs.np_bool)) {
        int t = PyObject_IsTrue(answer);
        if (t < 0) {
            PyErr_Clear();
            return false;
        }
        return t == 1;
    }
    return false;  // False, or an answer without a single truth value
}

}  // namespace vantrel
