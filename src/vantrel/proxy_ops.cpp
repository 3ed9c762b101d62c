#include "vantrel/proxy_ops.hpp"

#include "common/args.hpp"
#include "vantrel/refs.hpp"
#include "vantrel/response.hpp"
#include "vantrel/wire.hpp"

namespace vantrel {

namespace {

bool same_text(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    return PyUnicode_Check(a) && PyUnicode_Compare(a, b) == 0;
}

// Attributes every proxy holds itself; reading them never asks the add-in.
bool is_local_attribute(PyObject *name, bool for_write) {
    return same_text(name, names._internal_id) || same_text(name, names._internal_typeName) ||
           same_text(name, names._msg_guid) || same_text(name, names._typ) ||
           (!for_write && same_text(name, names._internal_cache));
}

nb::object local(nb::handle self, PyObject *name) { return owned(PyObject_GenericGetAttr(self.ptr(), name)); }

// A proxy belongs to the messaging generation it was built in.
void check_not_stale(nb::handle self) {
    nb::object own = local(self, names._msg_guid);
    nb::object current = module_global(names.messaging).attr(names._guid);
    int differs = PyObject_RichCompareBool(own.ptr(), current.ptr(), Py_NE);
    check(differs);
    if (differs)
        raise_text(PyExc_RuntimeError, "Excel Object used after messaging context was stopped");
}

nb::object request(PyObject *method, nb::handle name, nb::handle caller) {
    nb::object req = owned(PyDict_New());
    check(PyDict_SetItem(req.ptr(), names.method, method));
    check(PyDict_SetItem(req.ptr(), names.name, name.ptr()));
    check(PyDict_SetItem(req.ptr(), names.caller, caller.ptr()));
    return req;
}

// messaging.send_request_sync, looked up now: the kernel installs its own.
nb::object send_raw(nb::handle req) {
    nb::object messaging = module_global(names.messaging);
    return owned(PyObject_CallMethodOneArg(messaging.ptr(), names.send_request_sync, req.ptr()));
}

nb::object send(nb::handle req) {
    nb::object response = send_raw(req);
    if (!PyDict_Check(response.ptr())) {
        PyErr_Format(PyExc_TypeError, "Office.js response must be a dict, got %s",
                     Py_TYPE(response.ptr())->tp_name);
        throw nb::python_error();
    }
    return response;
}

// Raises `type` with the response's failure text, or `fallback` + `subject`.
[[noreturn]] void raise_failure(PyObject *type, nb::handle response, const char *fallback,
                                nb::handle subject) {
    nb::object text = remote_error_text(response);
    if (!text.is_valid()) {
        text = subject.is_valid() ? owned(PyUnicode_FromFormat("%s%S", fallback, subject.ptr()))
                                  : nb::str(fallback);
    }
    raise_with(type, text);
}

bool succeeded(nb::handle response) { return truthy(get(response, names.ok)); }

nb::object result_of(nb::handle response) {
    return ElementConverter(names.from_wire, refs.from_wire_fn)(get(response, names.result));
}

nb::object wire_of(nb::handle value) { return ElementConverter(names.to_wire, refs.to_wire_fn)(value); }

// "start:stop:step" with absent parts empty, so 1:3: and ::2.
nb::object slice_key(nb::handle index) {
    auto part = [&](const char *attr) -> nb::object {
        nb::object value = index.attr(attr);
        return value.is_none() ? nb::str("") : nb::str(value);
    };
    return owned(
        PyUnicode_FromFormat("%U:%U:%U", part("start").ptr(), part("stop").ptr(), part("step").ptr()));
}

}  // namespace

nb::object cw_getattr(nb::handle self, nb::handle name) {
    tarvex::require_str(name, "name");
    if (is_local_attribute(name.ptr(), false))
        return local(self, name.ptr());
    check_not_stale(self);
    nb::object response = send(request(names.GET, name, local(self, names._internal_id)));
    if (!succeeded(response))
        raise_failure(PyExc_AttributeError, response, "GET failed for ", name);
    return result_of(response);
}

void cw_setattr(nb::handle self, nb::handle name, nb::handle value) {
    tarvex::require_str(name, "name");
    if (is_local_attribute(name.ptr(), true)) {
        check(PyObject_GenericSetAttr(self.ptr(), name.ptr(), value.ptr()));
        return;
    }
    check_not_stale(self);
    nb::object wire = wire_of(value);
    nb::object req = owned(PyDict_New());
    check(PyDict_SetItem(req.ptr(), names.method, names.SET));
    check(PyDict_SetItem(req.ptr(), names.name, name.ptr()));
    check(PyDict_SetItem(req.ptr(), names.value, wire.ptr()));
    check(PyDict_SetItem(req.ptr(), names.caller, local(self, names._internal_id).ptr()));
    nb::object response = send(req);
    if (!succeeded(response))
        raise_failure(PyExc_AttributeError, response, "SET failed for ", name);
}

nb::object cw_getitem(nb::handle self, nb::handle index) {
    nb::object key;
    if (PySlice_Check(index.ptr()))
        key = slice_key(index);
    else if (PyLong_Check(index.ptr()))
        key = nb::str(index);
    else
        raise_text(PyExc_TypeError, "Index must be an integer or a slice");
    check_not_stale(self);
    nb::object response = send(request(names.GETITEM, key, local(self, names._internal_id)));
    if (!succeeded(response))
        raise_failure(PyExc_AttributeError, response, "GET ITEM failed for ", nb::str(index));
    return result_of(response);
}

nb::object cw_call(nb::handle self, nb::args args, nb::kwargs kwargs) {
    check_not_stale(self);
    nb::object type_name = local(self, names._internal_typeName);
    int other = PyObject_RichCompareBool(type_name.ptr(), names.Function, Py_NE);
    check(other);
    if (other)
        raise_text(PyExc_TypeError, "Only Function-typed SpecialObjects are callable");

    nb::object records = owned(PyList_New(0));
    for (nb::handle arg : args) {
        nb::object record = owned(PyDict_New());
        check(PyDict_SetItem(record.ptr(), names.arg_type, names.PLACED));
        check(PyDict_SetItem(record.ptr(), names.value, wire_of(arg).ptr()));
        check(PyList_Append(records.ptr(), record.ptr()));
    }
    for (auto [keyword, arg] : kwargs) {
        nb::object record = owned(PyDict_New());
        check(PyDict_SetItem(record.ptr(), names.arg_type, names.NAMED));
        check(PyDict_SetItem(record.ptr(), names.name, keyword.ptr()));
        check(PyDict_SetItem(record.ptr(), names.value, wire_of(arg).ptr()));
        check(PyList_Append(records.ptr(), record.ptr()));
    }

    nb::object req = owned(PyDict_New());
    check(PyDict_SetItem(req.ptr(), names.method, names.CALL));
    check(PyDict_SetItem(req.ptr(), names.name, names.dunder_call));
    check(PyDict_SetItem(req.ptr(), names.args, records.ptr()));
    check(PyDict_SetItem(req.ptr(), names.caller, local(self, names._internal_id).ptr()));
    nb::object response = send(req);
    if (!succeeded(response))
        raise_failure(PyExc_RuntimeError, response, "CALL failed", nb::handle());
    return result_of(response);
}

// True when a release through `messaging` is bound to fail at once: the
// channel's own send_request_sync with no send handler refuses everything.
// Dropping a large result (one proxy per row) then costs nothing.
bool release_would_be_refused(nb::handle messaging) {
    if (Py_TYPE(messaging.ptr()) != reinterpret_cast<PyTypeObject *>(refs.messaging_type))
        return false;
    PyObject *own = PyObject_GenericGetDict(messaging.ptr(), nullptr);
    if (!own)
        throw nb::python_error();
    int replaced = PyDict_Contains(own, names.send_request_sync);
    Py_DECREF(own);
    check(replaced);
    return !replaced && !truthy(messaging.attr(names._send_handler));
}

// The release is sent without waiting for its answer (send_request_sync
// treats DEL so), so dropping a large result costs no round trips and a
// proxy may be dropped on any thread.
void cw_del(nb::handle self) {
    // While the interpreter shuts down no thread is left to deliver an
    // answer, so a release would only wait out its time limit.
    if (Py_IsFinalizing())
        return;
    try {
        nb::object messaging = module_global(names.messaging);
        if (release_would_be_refused(messaging))
            return;
        nb::object req = request(names.DEL, names.dunder_del, local(self, names._internal_id));
        owned(PyObject_CallMethodOneArg(messaging.ptr(), names.send_request_sync, req.ptr()));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
}

}  // namespace vantrel
