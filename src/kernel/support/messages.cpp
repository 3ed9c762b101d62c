#include "kernel/support/messages.hpp"

#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

nb::object get(nb::handle mapping, PyObject *key, nb::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(mapping.ptr(), key, &value) < 0)
            throw nb::python_error();
        return value ? nb::steal(value) : nb::borrow(fallback);
    }
    return mapping.attr(names::get)(nb::handle(key), fallback);
}

nb::dict make_message(std::initializer_list<Field> fields) {
    nb::dict message;
    for (const auto &[key, value] : fields)
        if (PyDict_SetItem(message.ptr(), key, value.ptr()) < 0)
            throw nb::python_error();
    return message;
}

std::string text_of(nb::handle obj) {
    std::string out;
    tarvex::detail::append_str(out, obj);
    return out;
}

nb::list copy_list(nb::handle iterable) {
    PyObject *list = PySequence_List(iterable.ptr());
    if (!list)
        throw nb::python_error();
    return nb::steal<nb::list>(list);
}

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

}  // namespace tarvex::kernel
