#include "kernel/support/py_class.hpp"

namespace tarvex::kernel {

ClassBuilder::ClassBuilder(nb::handle module, const char *name, nb::tuple bases)
    : module_(module), name_(name), bases_(std::move(bases)) {
    namespace_["__module__"] = module_.attr("__name__");
    namespace_["__qualname__"] = nb::str(name);
}

void raise_not_instance(nb::handle obj, PyTypeObject *type) {
    PyErr_Format(PyExc_TypeError, "expected an initialized %.200s, got %.200s", type->tp_name,
                 Py_TYPE(obj.ptr())->tp_name);
    throw nb::python_error();
}

nb::object ClassBuilder::builtin_property() { return nb::module_::import_("builtins").attr("property"); }
nb::object ClassBuilder::builtin_staticmethod() {
    return nb::module_::import_("builtins").attr("staticmethod");
}

nb::object ClassBuilder::finish() {
    nb::tuple bases =
        bases_.size() ? bases_ : nb::make_tuple(nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    nb::handle metaclass = reinterpret_cast<PyObject *>(Py_TYPE(bases[0].ptr()));
    nb::object cls = metaclass(nb::str(name_), bases, namespace_);
    module_.attr(name_) = cls;
    return cls;
}

}  // namespace tarvex::kernel
