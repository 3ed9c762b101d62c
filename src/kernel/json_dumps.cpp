#include "json_dumps.hpp"

namespace tarvex::kernel {

namespace {
// Leaked on purpose: module-level references must outlive finalization.
PyObject *orjson_dumps = nullptr;
PyObject *json_module_dumps = nullptr;
}  // namespace

void init_json_dumps(nb::module_ &module) {
    try {
        orjson_dumps = nb::object(nb::module_::import_("orjson").attr("dumps")).release().ptr();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
    if (!orjson_dumps)
        json_module_dumps = nb::object(nb::module_::import_("json").attr("dumps")).release().ptr();
    module.def("json_dumps", &json_dumps, nb::arg("obj"));
}

nb::str json_dumps(nb::handle obj) {
    if (orjson_dumps) {
        PyObject *raw = PyObject_CallOneArg(orjson_dumps, obj.ptr());
        if (!raw)
            throw nb::python_error();
        PyObject *text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), "strict");
        Py_DECREF(raw);
        if (!text)
            throw nb::python_error();
        return nb::steal<nb::str>(text);
    }
    PyObject *text = PyObject_CallOneArg(json_module_dumps, obj.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

}  // namespace tarvex::kernel
