#include "kernel/support/messages.hpp"

#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

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

}  // namespace tarvex::kernel
