// Python value -> wire value. The rules are tried in a fixed order and the
// first that matches decides; exact built-in types, by far the most common
// elements, are recognised up front (their rules never overlap).
#include <nanobind/nanobind.h>

#include "vantrel/base64.hpp"
#include "vantrel/dates.hpp"
#include "vantrel/proxies.hpp"
#include "vantrel/recursion_guard.hpp"
#include "vantrel/refs.hpp"
#include "vantrel/wire.hpp"

namespace vantrel {

namespace {

ElementConverter element_converter() { return ElementConverter(names.to_wire, refs.to_wire_fn); }

nb::object convert_element(const ElementConverter &convert, nb::handle element) {
    return convert.direct() ? to_wire(element) : convert(element);
}

// A list or tuple (subclasses too) -> "Array" of the elements.
nb::object sequence_to_wire(nb::handle seq) {
    RecursionGuard guard(kToWire);
    ElementConverter convert = element_converter();
    PyObject *s = seq.ptr();
    PyTypeObject *t = Py_TYPE(s);
    nb::object payload;

    if (PyTuple_Check(s) && t->tp_iter == PyTuple_Type.tp_iter) {
        Py_ssize_t n = PyTuple_GET_SIZE(s);
        payload = owned(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(payload.ptr(), i,
                            convert_element(convert, PyTuple_GET_ITEM(s, i)).release().ptr());
    } else if (PyList_Check(s) && t->tp_iter == PyList_Type.tp_iter) {
        // Indexed like list iteration: conversions may run user code that
        // changes the list, so the length is read again at every step and
        // each element is held while it is converted.
        Py_ssize_t reserved = PyList_GET_SIZE(s);
        payload = owned(PyList_New(reserved));
        Py_ssize_t i = 0;
        for (; i < PyList_GET_SIZE(s); ++i) {
            nb::object element = nb::borrow(PyList_GET_ITEM(s, i));
            nb::object wire = convert_element(convert, element);
            if (i < reserved)
                PyList_SET_ITEM(payload.ptr(), i, wire.release().ptr());
            else
                check(PyList_Append(payload.ptr(), wire.ptr()));
        }
        if (i < reserved)
            Py_SET_SIZE(payload.ptr(), i);  // the list shrank; the tail was never filled
    } else {
        payload = owned(PyList_New(0));
        for_each_yielded(s, [&](nb::handle element) {
            check(PyList_Append(payload.ptr(), convert_element(convert, element).ptr()));
        });
    }
    return make_wire(refs.tmpl_array, payload);
}

// A dict (subclasses too) -> "Dict"; keys unchanged, items converted.
nb::object mapping_to_wire(nb::handle mapping) {
    RecursionGuard guard(kToWire);
    ElementConverter convert = element_converter();
    PyObject *d = mapping.ptr();
    nb::object payload = owned(PyDict_New());

    bool own_items = PyDict_CheckExact(d);
    if (!own_items) {
        nb::object items = nb::getattr(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(d))), names.items);
        own_items = items.is(nb::handle(refs.dict_items));
    }
    if (own_items) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(d);
        PyObject *key, *value;
        while (PyDict_Next(d, &pos, &key, &value)) {
            nb::object k = nb::borrow(key), v = nb::borrow(value);
            nb::object wire = convert_element(convert, v);
            if (PyDict_GET_SIZE(d) != size)
                raise_text(PyExc_RuntimeError, "dictionary changed size during iteration");
            check(PyDict_SetItem(payload.ptr(), k.ptr(), wire.ptr()));
        }
    } else {
        for_each_yielded(mapping.attr(names.items)(), [&](nb::handle pair) {
            nb::object key = pair[0], value = pair[1];
            check(PyDict_SetItem(payload.ptr(), key.ptr(), convert_element(convert, value).ptr()));
        });
    }
    return make_wire(refs.tmpl_dict, payload);
}

// A proxy goes out as a reference to the add-in's object.
nb::object proxy_to_wire(nb::handle proxy) {
    nb::object wire = owned(PyDict_New());
    check(PyDict_SetItem(wire.ptr(), names.type, proxy.attr(names._internal_typeName).ptr()));
    check(PyDict_SetItem(wire.ptr(), names.value, proxy.attr(names._internal_id).ptr()));
    check(PyDict_SetItem(wire.ptr(), names.isSpec, Py_True));
    return wire;
}

// Any other callable is registered and sent by its id.
nb::object callable_to_wire(nb::handle fn) {
    nb::object messaging = module_global(names.messaging);
    nb::object callable_id =
        owned(PyObject_CallMethodOneArg(messaging.ptr(), names.register_callable, fn.ptr()));
    return make_wire(refs.tmpl_function, callable_id);
}

// Every rule in order, for values the fast path did not take.
nb::object to_wire_by_rules(nb::handle value) {
    PyObject *v = value.ptr();
    if (v == Py_None)
        return make_wire(refs.tmpl_null, Py_None);
    if (PyBool_Check(v) || PyObject_TypeCheck(v, refs.np_bool)) {
        int t = PyObject_IsTrue(v);
        check(t);
        return make_wire(refs.tmpl_bool, t ? Py_True : Py_False);
    }
    if (PyLong_Check(v))
        return make_wire(refs.tmpl_int, owned(PyNumber_Long(v)));
    if (PyFloat_Check(v))
        return make_wire(refs.tmpl_float, owned(PyNumber_Float(v)));
    if (PyUnicode_Check(v))
        return make_wire(refs.tmpl_string, value);
    if (is_date_value(v))
        return make_wire(refs.tmpl_date, date_text(value));
    if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v))
        return make_wire(refs.tmpl_bytes, base64_text(value));
    if (PyList_Check(v) || PyTuple_Check(v))
        return sequence_to_wire(value);
    if (PyDict_Check(v))
        return mapping_to_wire(value);
    if (is_missing(value))
        return make_wire(refs.tmpl_null, Py_None);
    if (is_numpy_integer(v))
        return make_wire(refs.tmpl_int, owned(PyNumber_Long(v)));
    if (is_numpy_floating(v))
        return make_wire(refs.tmpl_float, owned(PyNumber_Float(v)));
    if (is_table(v))
        return table_to_wire(value, element_converter());
    if (is_proxy_object(v))
        return proxy_to_wire(value);
    if (PyCallable_Check(v))
        return callable_to_wire(value);
    return make_wire(refs.tmpl_string, owned(PyObject_Str(v)));
}

}  // namespace

nb::object make_wire(PyObject *tmpl, nb::handle value) {
    nb::object wire = owned(PyDict_Copy(tmpl));
    // Left tracked by the collector even with a scalar payload: the caller
    // may put anything into it later, and since 3.14 a dict is never
    // re-tracked on insertion, so a cycle through an untracked one would
    // never be collected.
    check(PyDict_SetItem(wire.ptr(), names.value, value.ptr()));
    return wire;
}

nb::object to_wire(nb::handle value) {
    PyTypeObject *t = Py_TYPE(value.ptr());
    if (t == &PyFloat_Type)
        return make_wire(refs.tmpl_float, value);
    if (t == &PyLong_Type)
        return make_wire(refs.tmpl_int, value);
    if (t == &PyUnicode_Type)
        return make_wire(refs.tmpl_string, value);
    if (t == &PyList_Type || t == &PyTuple_Type)
        return sequence_to_wire(value);
    if (t == &PyDict_Type)
        return mapping_to_wire(value);
    return to_wire_by_rules(value);
}

}  // namespace vantrel
