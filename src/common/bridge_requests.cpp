#include "common/bridge_requests.hpp"

#include "common/py_ops.hpp"
#include "common/uuid4.hpp"

namespace tarvex {

nb::dict request_message(nb::handle req) {
    static PyObject *request_id = interned("requestId");
    static PyObject *kind = interned("kind");
    static PyObject *request = interned("request");
    PyObject *copy = PyDict_Copy(req.ptr());
    if (!copy)
        throw nb::python_error();
    nb::dict message = nb::steal<nb::dict>(copy);
    if (PyDict_SetItem(message.ptr(), request_id, uuid4_hex().ptr()) < 0 ||
        PyDict_SetItem(message.ptr(), kind, request) < 0)
        throw nb::python_error();
    return message;
}

bool is_release(nb::handle request) {
    static PyObject *method_key = interned("method");
    static PyObject *release = interned("DEL");
    nb::object method = get(request, method_key);
    return PyUnicode_CheckExact(method.ptr()) && PyUnicode_Compare(method.ptr(), release) == 0;
}

}  // namespace tarvex
