#include "vantrel/refs.hpp"

namespace vantrel {

Names names;
Refs refs;

namespace {

PyObject *leak(nb::object obj) { return obj.release().ptr(); }

PyObject *wire_template(PyObject *tag, PyObject *value, bool is_spec) {
    nb::object d = owned(PyDict_New());
    check(PyDict_SetItem(d.ptr(), names.type, tag));
    check(PyDict_SetItem(d.ptr(), names.value, value));
    check(PyDict_SetItem(d.ptr(), names.isSpec, is_spec ? Py_True : Py_False));
    return leak(std::move(d));
}

}  // namespace

void init_refs(nb::module_ &m) {
#define VANTREL_INTERN(field) names.field = tarvex::interned(#field)
    VANTREL_INTERN(type), VANTREL_INTERN(value), VANTREL_INTERN(isSpec), VANTREL_INTERN(id);
    VANTREL_INTERN(Null), VANTREL_INTERN(Bool), VANTREL_INTERN(Int), VANTREL_INTERN(Float);
    VANTREL_INTERN(String), VANTREL_INTERN(Date), VANTREL_INTERN(Bytes), VANTREL_INTERN(Array);
    VANTREL_INTERN(Dict), VANTREL_INTERN(Python_Function);
    VANTREL_INTERN(method), VANTREL_INTERN(name), VANTREL_INTERN(caller), VANTREL_INTERN(args);
    VANTREL_INTERN(arg_type), VANTREL_INTERN(requestId), VANTREL_INTERN(kind);
    VANTREL_INTERN(ok), VANTREL_INTERN(result), VANTREL_INTERN(error), VANTREL_INTERN(message);
    VANTREL_INTERN(GET), VANTREL_INTERN(SET), VANTREL_INTERN(GETITEM), VANTREL_INTERN(CALL);
    VANTREL_INTERN(DEL), VANTREL_INTERN(PLACED), VANTREL_INTERN(NAMED);
    names.dunder_call = tarvex::interned("__call__");
    names.dunder_del = tarvex::interned("__del__");
    VANTREL_INTERN(_internal_id), VANTREL_INTERN(_internal_typeName), VANTREL_INTERN(_msg_guid);
    VANTREL_INTERN(_typ), VANTREL_INTERN(_internal_cache);
    VANTREL_INTERN(officejs_object), VANTREL_INTERN(officejs_array), VANTREL_INTERN(officejs_dict);
    VANTREL_INTERN(Function);
    VANTREL_INTERN(waiters), VANTREL_INTERN(_waiters_lock), VANTREL_INTERN(_guid);
    VANTREL_INTERN(_send_handler), VANTREL_INTERN(loop), VANTREL_INTERN(loop_thread);
    VANTREL_INTERN(_callable_registry), VANTREL_INTERN(_callable_lock), VANTREL_INTERN(_next_callable_id);
    VANTREL_INTERN(send_request_sync), VANTREL_INTERN(register_callable), VANTREL_INTERN(messaging);
    VANTREL_INTERN(Context), VANTREL_INTERN(Excel), VANTREL_INTERN(_internal_officejs_names);
    VANTREL_INTERN(items), VANTREL_INTERN(values), VANTREL_INTERN(clear), VANTREL_INTERN(copy);
    VANTREL_INTERN(to_wire), VANTREL_INTERN(from_wire), VANTREL_INTERN(isoformat);
    VANTREL_INTERN(astimezone), VANTREL_INTERN(tzinfo), VANTREL_INTERN(fromisoformat);
    VANTREL_INTERN(to_frame), VANTREL_INTERN(columns), VANTREL_INTERN(tolist), VANTREL_INTERN(ndim);
    VANTREL_INTERN(dtype), VANTREL_INTERN(astype), VANTREL_INTERN(item);
    VANTREL_INTERN(iloc), VANTREL_INTERN(shape), VANTREL_INTERN(dtypes);
    VANTREL_INTERN(itemsize), VANTREL_INTERN(to_numpy);
#undef VANTREL_INTERN
    names.empty = tarvex::interned("");

    refs.module_dict = leak(nb::borrow(PyModule_GetDict(m.ptr())));
    refs.empty_tuple = leak(owned(PyTuple_New(0)));

    nb::module_ np = nb::module_::import_("numpy");
    nb::module_ pd = nb::module_::import_("pandas");
    refs.np_bool = (PyTypeObject *)leak(np.attr("bool_"));
    refs.np_datetime64 = (PyTypeObject *)leak(np.attr("datetime64"));
    refs.np_ndarray = (PyTypeObject *)leak(np.attr("ndarray"));
    refs.np_integer = (PyTypeObject *)leak(np.attr("integer"));
    refs.np_floating = (PyTypeObject *)leak(np.attr("floating"));
    refs.np_timedelta64 = (PyTypeObject *)leak(np.attr("timedelta64"));
    refs.np_dtype = (PyTypeObject *)leak(np.attr("dtype"));
    refs.np_datetime_data = leak(np.attr("datetime_data"));
    refs.np_isnat = leak(np.attr("isnat"));
    refs.np_datetime_as_string = leak(np.attr("datetime_as_string"));
    refs.us_dtype = leak(np.attr("dtype")("datetime64[us]"));
    refs.day_dtype = leak(np.attr("dtype")("datetime64[D]"));
    refs.pd_series = (PyTypeObject *)leak(pd.attr("Series"));
    refs.pd_dataframe = (PyTypeObject *)leak(pd.attr("DataFrame"));
    refs.pd_isna = leak(pd.attr("isna"));
    try {
        refs.pd_find_common_type =
            leak(nb::module_::import_("pandas.core.dtypes.cast").attr("find_common_type"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError))
            throw;
    }

    refs.b64decode = leak(nb::module_::import_("base64").attr("b64decode"));
    refs.lock_factory = leak(nb::module_::import_("threading").attr("Lock"));
    refs.dict_items = leak(nb::borrow(reinterpret_cast<PyObject *>(&PyDict_Type)).attr("items"));

    refs.tmpl_null = wire_template(names.Null, Py_None, false);
    refs.tmpl_bool = wire_template(names.Bool, Py_False, false);
    refs.tmpl_int = wire_template(names.Int, Py_None, false);
    refs.tmpl_float = wire_template(names.Float, Py_None, false);
    refs.tmpl_string = wire_template(names.String, Py_None, false);
    refs.tmpl_date = wire_template(names.Date, Py_None, false);
    refs.tmpl_bytes = wire_template(names.Bytes, Py_None, false);
    refs.tmpl_array = wire_template(names.Array, Py_None, false);
    refs.tmpl_dict = wire_template(names.Dict, Py_None, false);
    refs.tmpl_function = wire_template(names.Python_Function, Py_None, true);
}

void raise_with(PyObject *type, nb::handle arg) {
    // Built through a call so that a tuple argument stays one argument.
    nb::object exc = owned(PyObject_CallOneArg(type, arg.ptr()));
    PyErr_SetRaisedException(exc.release().ptr());
    throw nb::python_error();
}

void raise_text(PyObject *type, const char *text) {
    PyErr_SetString(type, text);
    throw nb::python_error();
}

}  // namespace vantrel
