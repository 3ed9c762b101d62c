#include "json_dumps.hpp"

namespace tarvex::kernel {

namespace {
// Leaked on purpose: module-level references must outlive finalization.
PyObject *orjson_dumps = nullptr;
PyObject *orjson_loads = nullptr;
PyObject *orjson_Fragment = nullptr;
PyObject *orjson_JSONDecodeError = nullptr;
PyObject *json_module_dumps = nullptr;
PyObject *json_module_loads_fn = nullptr;

PyObject *leak_attr(nb::handle module, const char *name) {
    return nb::object(module.attr(name)).release().ptr();
}
}  // namespace

void init_json_dumps(nb::module_ &module) {
    try {
        nb::module_ orjson = nb::module_::import_("orjson");
        orjson_dumps = leak_attr(orjson, "dumps");
        orjson_loads = leak_attr(orjson, "loads");
        orjson_Fragment = leak_attr(orjson, "Fragment");
        orjson_JSONDecodeError = leak_attr(orjson, "JSONDecodeError");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        orjson_dumps = orjson_loads = orjson_Fragment = orjson_JSONDecodeError = nullptr;
    }
    nb::module_ json = nb::module_::import_("json");
    json_module_dumps = leak_attr(json, "dumps");
    json_module_loads_fn = leak_attr(json, "loads");
    module.def("json_dumps", &json_dumps, nb::arg("obj"));
}

bool have_orjson() { return orjson_dumps != nullptr; }

nb::bytes orjson_bytes(nb::handle obj) {
    PyObject *raw = PyObject_CallOneArg(orjson_dumps, obj.ptr());
    if (!raw)
        throw nb::python_error();
    return nb::steal<nb::bytes>(raw);
}

nb::str json_dumps(nb::handle obj) {
    if (orjson_dumps) {
        nb::bytes raw = orjson_bytes(obj);
        PyObject *text =
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.ptr()), PyBytes_GET_SIZE(raw.ptr()), "strict");
        if (!text)
            throw nb::python_error();
        return nb::steal<nb::str>(text);
    }
    PyObject *text = PyObject_CallOneArg(json_module_dumps, obj.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

nb::object json_fragment(nb::handle text) {
    PyObject *fragment = PyObject_CallOneArg(orjson_Fragment, text.ptr());
    if (!fragment)
        throw nb::python_error();
    return nb::steal(fragment);
}

nb::object json_module_loads(nb::handle text) {
    PyObject *value = PyObject_CallOneArg(json_module_loads_fn, text.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

nb::object json_loads(nb::handle text) {
    if (orjson_loads) {
        PyObject *value = PyObject_CallOneArg(orjson_loads, text.ptr());
        if (value)
            return nb::steal(value);
        if (!PyErr_ExceptionMatches(orjson_JSONDecodeError))
            throw nb::python_error();
        PyErr_Clear();  // NaN, lone surrogates and the like: json reads them
    }
    return json_module_loads(text);
}

}  // namespace tarvex::kernel
