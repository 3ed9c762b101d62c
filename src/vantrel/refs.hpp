// Objects the bridge reaches on every conversion and request, looked up
// once when the module loads. They live as long as the process: the
// references are deliberately never released, so nothing is torn down
// after the interpreter has finalized.
#pragma once

#include <nanobind/nanobind.h>

#include "common/errors.hpp"
#include "common/py_ops.hpp"

namespace vantrel {

namespace nb = nanobind;

using tarvex::get;
using tarvex::owned;
using tarvex::truthy;
using tarvex::type_name_of;

// Interned attribute names and wire texts (their hashes are cached, so
// dict operations with them skip hashing).
struct Names {
    // wire value keys and type tags
    PyObject *type, *value, *isSpec, *id;
    PyObject *Null, *Bool, *Int, *Float, *String, *Date, *Bytes, *Array, *Dict, *Python_Function;
    // request and response keys
    PyObject *method, *name, *caller, *args, *arg_type, *requestId, *kind;
    PyObject *ok, *result, *error, *message;
    PyObject *GET, *SET, *GETITEM, *CALL, *DEL, *PLACED, *NAMED, *dunder_call, *dunder_del;
    // proxy attributes
    PyObject *_internal_id, *_internal_typeName, *_msg_guid, *_typ, *_internal_cache;
    PyObject *officejs_object, *officejs_array, *officejs_dict, *Function;
    // messaging attributes and methods
    PyObject *waiters, *_waiters_lock, *_guid, *_send_handler, *loop, *loop_thread;
    PyObject *_callable_registry, *_callable_lock, *_next_callable_id;
    PyObject *send_request_sync, *register_callable, *messaging, *Context, *Excel;
    PyObject *_internal_officejs_names;
    // methods called on foreign objects
    PyObject *items, *values, *clear, *copy;
    PyObject *to_wire, *from_wire, *isoformat, *astimezone, *tzinfo, *fromisoformat;
    PyObject *to_frame, *columns, *tolist, *ndim, *dtype, *astype, *item;
    PyObject *iloc, *shape, *dtypes, *itemsize, *to_numpy;
    PyObject *empty;  // ""
};

struct Refs {
    PyObject *module_dict;  // the vantrel module's globals
    PyObject *empty_tuple;

    // numpy and pandas
    PyTypeObject *np_bool, *np_datetime64, *np_ndarray;
    PyTypeObject *np_integer, *np_floating, *np_timedelta64, *np_dtype;
    PyTypeObject *pd_series, *pd_dataframe;
    PyObject *pd_isna, *np_datetime_data, *np_isnat, *np_datetime_as_string;
    PyObject *us_dtype, *day_dtype;  // "datetime64[us]", "datetime64[D]"
    // pandas' rule for the dtype of a frame's `values`; null when this
    // pandas does not have it where we look (frames then take the row path)
    PyObject *pd_find_common_type;

    // standard library
    PyObject *b64decode;
    PyObject *lock_factory;  // threading.Lock
    PyObject *dict_items;    // dict.items, to spot subclasses that override it

    // this module's classes and the functions behind Serializer's methods
    PyObject *serializer;
    PyObject *to_wire_fn, *from_wire_fn;
    PyTypeObject *officejs_object, *officejs_array, *officejs_dict;
    PyObject *messaging_type;

    // Wire value templates {"type": tag, "value": None, "isSpec": flag}:
    // copying a small dict of the same shape is the cheapest way to make one.
    PyObject *tmpl_null, *tmpl_bool, *tmpl_int, *tmpl_float, *tmpl_string;
    PyObject *tmpl_date, *tmpl_bytes, *tmpl_array, *tmpl_dict, *tmpl_function;
};

extern Names names;
extern Refs refs;

// Fills `names` and the standard-library part of `refs`.
void init_refs(nb::module_ &m);

// Raises the pending Python error of a C API call that returned a negative
// status.
inline void check(int status) {
    if (status < 0)
        throw nb::python_error();
}

// Hands each object `iterable` yields to `take`, then raises the error
// that ended the iteration, if any.
template <typename Take>
void for_each_yielded(nb::handle iterable, Take &&take) {
    nb::object it = owned(PyObject_GetIter(iterable.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        take(item);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

// A global of this module (see tarvex::module_global).
inline nb::object module_global(PyObject *name) { return tarvex::module_global(refs.module_dict, name); }

// Raises `type` with the single argument `arg` (any object, kept as is).
[[noreturn]] void raise_with(PyObject *type, nb::handle arg);
[[noreturn]] void raise_text(PyObject *type, const char *text);

}  // namespace vantrel
