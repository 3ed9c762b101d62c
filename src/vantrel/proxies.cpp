// The proxy classes. Their dunder methods hand over to the _cw__ functions
// (proxy_ops.cpp) and trim the proxy machinery off any error's traceback.
#include "vantrel/proxies.hpp"

#include "common/args.hpp"
#include "vantrel/proxy_ops.hpp"
#include "vantrel/refs.hpp"
#include "vantrel/traceback_trim.hpp"

namespace vantrel {

namespace {

nb::object type_type() { return nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type)); }

// The five attributes every proxy carries, written past the class's own
// __setattr__ (which would send them to the add-in, or refuse them).
void store_identity(nb::handle self, nb::handle object_id, nb::handle type_name, PyObject *typ) {
    nb::object generation = module_global(names.messaging).attr(names._guid);
    nb::object cache = owned(PyDict_New());
    PyObject *s = self.ptr();
    check(PyObject_GenericSetAttr(s, names._internal_id, object_id.ptr()));
    check(PyObject_GenericSetAttr(s, names._internal_typeName, type_name.ptr()));
    check(PyObject_GenericSetAttr(s, names._msg_guid, generation.ptr()));
    check(PyObject_GenericSetAttr(s, names._typ, typ));
    check(PyObject_GenericSetAttr(s, names._internal_cache, cache.ptr()));
}

// An int, or a number that int() converts; anything else is a TypeError.
nb::object object_id_of(nb::handle object_id) {
    PyObject *v = object_id.ptr();
    if (PyLong_Check(v) || PyNumber_Check(v)) {
        if (PyObject *number = PyNumber_Long(v))
            return nb::steal(number);
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw nb::python_error();
        PyObject *cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_TypeError, "object_id must be an int or a number that int() accepts, got %R", v);
        PyObject *exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, cause);
        PyErr_SetRaisedException(exc);
        throw nb::python_error();
    }
    PyErr_Format(PyExc_TypeError, "object_id must be an int or a number that int() accepts, got %s",
                 Py_TYPE(v)->tp_name);
    throw nb::python_error();
}

// Collection proxies: a falsy handle (None, 0, missing) stands for 0.
nb::object collection_id_of(nb::handle object_id) {
    if (!truthy(object_id))
        return nb::int_(0);
    return owned(PyNumber_Long(object_id.ptr()));
}

void object_init(nb::handle self, nb::handle object_id, nb::handle type_name) {
    nb::object id = object_id_of(object_id);
    tarvex::require_str(type_name, "type_name");
    store_identity(self, id, type_name, names.officejs_object);
}

void array_init(nb::handle self, nb::handle object_id) {
    check(PyList_Type.tp_init(self.ptr(), refs.empty_tuple, nullptr));
    store_identity(self, collection_id_of(object_id), names.Array, names.officejs_array);
}

void dict_init(nb::handle self, nb::handle object_id) {
    check(PyDict_Type.tp_init(self.ptr(), refs.empty_tuple, nullptr));
    store_identity(self, collection_id_of(object_id), names.Dict, names.officejs_dict);
}

// A bare instance of one of our classes, before __init__.
nb::object allocate(PyTypeObject *type) { return owned(type->tp_new(type, refs.empty_tuple, nullptr)); }

template <typename Fn, typename... Extra>
nb::object method(const char *name, Fn &&fn, const Extra &...extra) {
    return nb::cpp_function(std::forward<Fn>(fn), nb::is_method(), nb::name(name), extra...);
}

// Methods shared by the three classes: attribute reads, calls and release
// go to the add-in.
void add_remote_methods(nb::dict &ns) {
    ns["__getattr__"] = method(
        "__getattr__",
        [](nb::handle self, nb::handle name) { return trimmed([&] { return cw_getattr(self, name); }); },
        nb::arg("name").none());
}
void add_call_and_del(nb::dict &ns) {
    ns["__call__"] = method("__call__", [](nb::handle self, nb::args args, nb::kwargs kwargs) {
        return trimmed([&] { return cw_call(self, args, kwargs); });
    });
    ns["__del__"] = method("__del__", [](nb::handle self) { trimmed([&] { cw_del(self); }); });
}

nb::object make_class(nb::module_ &m, const char *name, PyObject *base, nb::dict ns) {
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    return type_type()(name, nb::make_tuple(nb::borrow(base)), ns);
}

nb::object make_object_class(nb::module_ &m) {
    nb::dict ns;
    ns["__doc__"] = "Dynamic proxy class for Office.js objects.";
    ns["__init__"] =
        method("__init__", &object_init, nb::arg("object_id").none(), nb::arg("type_name").none());
    add_remote_methods(ns);
    ns["__getitem__"] = method(
        "__getitem__",
        [](nb::handle self, nb::handle index) { return trimmed([&] { return cw_getitem(self, index); }); },
        nb::arg("index").none());
    ns["__setattr__"] = method(
        "__setattr__",
        [](nb::handle self, nb::handle name, nb::handle value) {
            trimmed([&] { cw_setattr(self, name, value); });
        },
        nb::arg("name").none(), nb::arg("value").none());
    add_call_and_del(ns);
    ns["__repr__"] = method("__repr__", [](nb::handle self) {
        return owned(PyUnicode_FromFormat("<OfficeJsObject %S id=%S>",
                                          nb::object(self.attr(names._internal_typeName)).ptr(),
                                          nb::object(self.attr(names._internal_id)).ptr()));
    });
    return make_class(m, "OfficeJsObject", reinterpret_cast<PyObject *>(&PyBaseObject_Type), ns);
}

template <typename Init, typename Repr>
nb::object make_collection_class(nb::module_ &m, const char *name, PyObject *base, const char *doc,
                                 const char *refusal, Init init, Repr repr) {
    nb::dict ns;
    ns["__doc__"] = doc;
    ns["__init__"] = method("__init__", init, nb::arg("object_id").none());
    add_remote_methods(ns);
    ns["__setattr__"] = method(
        "__setattr__",
        [refusal](nb::handle, nb::handle, nb::handle) { raise_text(PyExc_AttributeError, refusal); },
        nb::arg("name").none(), nb::arg("value").none());
    add_call_and_del(ns);
    ns["__repr__"] = method("__repr__", repr);
    return make_class(m, name, base, ns);
}

}  // namespace

bool is_proxy_object(PyObject *value) { return PyObject_TypeCheck(value, refs.officejs_object); }

nb::object new_officejs_object(nb::handle object_id, nb::handle type_name) {
    nb::object self = allocate(refs.officejs_object);
    object_init(self, object_id, type_name);
    return self;
}

// A freshly allocated list or dict is already empty: only the identity is
// left to store.
nb::object new_officejs_array(nb::handle object_id) {
    nb::object self = allocate(refs.officejs_array);
    store_identity(self, collection_id_of(object_id), names.Array, names.officejs_array);
    return self;
}

nb::object new_officejs_dict(nb::handle object_id) {
    nb::object self = allocate(refs.officejs_dict);
    store_identity(self, collection_id_of(object_id), names.Dict, names.officejs_dict);
    return self;
}

void init_proxies(nb::module_ &m) {
    nb::object object_class = make_object_class(m);
    nb::object array_class = make_collection_class(
        m, "OfficeJsArray", reinterpret_cast<PyObject *>(&PyList_Type),
        "Specialized proxy for arrays returned from Office.js.", "Cannot set attributes on OfficeJsArray",
        &array_init, [](nb::handle self) {
            Py_ssize_t size = PyObject_Size(self.ptr());
            if (size < 0)
                throw nb::python_error();
            return owned(PyUnicode_FromFormat("<OfficeJsArray id=%S len=%zd>",
                                              nb::object(self.attr(names._internal_id)).ptr(), size));
        });
    nb::object dict_class = make_collection_class(
        m, "OfficeJsDict", reinterpret_cast<PyObject *>(&PyDict_Type),
        "Specialized proxy for dictionaries returned from Office.js.",
        "Cannot set attributes on OfficeJsDict", &dict_init, [](nb::handle self) {
            nb::object keys = owned(PySequence_List(nb::object(self.attr("keys")()).ptr()));
            return owned(PyUnicode_FromFormat("<OfficeJsDict id=%S keys=%S>",
                                              nb::object(self.attr(names._internal_id)).ptr(), keys.ptr()));
        });

    refs.officejs_object = reinterpret_cast<PyTypeObject *>(object_class.inc_ref().ptr());
    refs.officejs_array = reinterpret_cast<PyTypeObject *>(array_class.inc_ref().ptr());
    refs.officejs_dict = reinterpret_cast<PyTypeObject *>(dict_class.inc_ref().ptr());
    m.attr("OfficeJsObject") = object_class;
    m.attr("OfficeJsArray") = array_class;
    m.attr("OfficeJsDict") = dict_class;

    m.def("_cw__getattr__", &cw_getattr, nb::arg("self").none(), nb::arg("name").none());
    m.def("_cw__getitem__", &cw_getitem, nb::arg("self").none(), nb::arg("index").none());
    m.def("_cw__setattr__", &cw_setattr, nb::arg("self").none(), nb::arg("name").none(),
          nb::arg("value").none());
    m.def("_cw__call__", &cw_call, nb::arg("self").none(), nb::arg("args"), nb::arg("kwargs"));
    m.def("_cw__del__", &cw_del, nb::arg("self").none());

    nb::list machinery;
    for (const char *name :
         {"_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__", "__getattr__",
          "__getitem__", "__setattr__", "__call__", "__del__"})
        machinery.append(name);
    m.attr("_internal_officejs_names") = machinery;

    m.attr("Context") = object_class(0, "RequestContext");
    m.attr("Excel") = object_class(1, "Excel");
    m.attr("GetSetting") = object_class(2, "Function");
}

}  // namespace vantrel
