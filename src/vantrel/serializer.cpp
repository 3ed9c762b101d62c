// The Serializer class: two static methods over the conversions, and the
// recursion through its class attribute.
#include <nanobind/nanobind.h>

#include "vantrel/refs.hpp"
#include "vantrel/wire.hpp"

namespace vantrel {

nb::object call_serializer(PyObject *name, nb::handle arg) {
    return owned(PyObject_CallMethodOneArg(refs.serializer, name, arg.ptr()));
}

ElementConverter::ElementConverter(PyObject *name, PyObject *own_function)
    : name_(name), to_wire_(name == names.to_wire) {
    nb::object current = nb::getattr(nb::handle(refs.serializer), name);
    direct_ = current.ptr() == own_function;
}

nb::object ElementConverter::operator()(nb::handle element) const {
    if (!direct_)
        return call_serializer(name_, element);
    if (to_wire_)
        return to_wire(element);
    return PyDict_CheckExact(element.ptr()) ? from_wire_dict(element.ptr()) : from_wire(element);
}

void init_serializer(nb::module_ &m) {
    nb::object to_wire_fn = nb::cpp_function([](nb::handle value) { return to_wire(value); },
                                             nb::arg("value").none(), nb::name("to_wire"),
                                             "Converts any Python value to a new wire value "
                                             "{\"type\", \"value\", \"isSpec\"}.");
    nb::object from_wire_fn =
        nb::cpp_function([](nb::handle wire) { return from_wire(wire); }, nb::arg("wire").none(),
                         nb::name("from_wire"), "Converts a wire value (a plain dict) to a Python value.");

    nb::dict ns;
    ns["__doc__"] = "Handles marshaling of data types between Python and JavaScript.";
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "Serializer";
    ns["to_wire"] = owned(PyStaticMethod_New(to_wire_fn.ptr()));
    ns["from_wire"] = owned(PyStaticMethod_New(from_wire_fn.ptr()));
    nb::object cls = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))(
        "Serializer", nb::make_tuple(nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns);

    refs.serializer = cls.inc_ref().ptr();
    refs.to_wire_fn = to_wire_fn.release().ptr();
    refs.from_wire_fn = from_wire_fn.release().ptr();
    m.attr("Serializer") = cls;
}

}  // namespace vantrel
