// The collector's slots for an nb::class_ whose C++ object holds Python
// references: T::traverse(visit, arg) and T::clear() do the work.
//   nb::class_<T>(m, "Name", nb::type_slots(GcSlots<T>::slots))
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace tarvex::kernel {

template <typename T>
struct GcSlots {
    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nanobind::inst_ready(self))
            return 0;
        return nanobind::inst_ptr<T>(self)->traverse(visit, arg);
    }

    static int clear(PyObject *self) {
        if (nanobind::inst_ready(self))
            nanobind::inst_ptr<T>(self)->clear();
        return 0;
    }

    static inline PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(&traverse)},
                                         {Py_tp_clear, reinterpret_cast<void *>(&clear)},
                                         {0, nullptr}};
};

// Visits every reference among `fields` (nb::object and the like).
template <typename... Fields>
int visit_fields(visitproc visit, void *arg, const Fields &...fields) {
    for (PyObject *field : {fields.ptr()...}) Py_VISIT(field);
    return 0;
}

// A field taken out for release_fields: an nb::object field is left None,
// a typed one (nb::dict, nb::list, ...), which cannot hold None, empty.
inline nanobind::object take_field(nanobind::object &field) { return std::exchange(field, nanobind::none()); }
template <typename Field>
nanobind::object take_field(Field &field) {
    return std::move(field);
}

// Lets go of `fields`, all taken out before any is released: a finalizer
// that runs meanwhile never meets a reference already gone.
template <typename... Fields>
void release_fields(Fields &...fields) {
    nanobind::object released[] = {take_field(fields)...};
    (void)released;
}

}  // namespace tarvex::kernel
