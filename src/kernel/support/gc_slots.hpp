// The collector's slots for an nb::class_ whose C++ object holds Python
// references: T::traverse(visit, arg) and T::clear() do the work.
//   nb::class_<T>(m, "Name", nb::type_slots(GcSlots<T>::slots))
#pragma once

#include <nanobind/nanobind.h>

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
        nanobind::inst_ptr<T>(self)->clear();
        return 0;
    }

    static inline PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(&traverse)},
                                         {Py_tp_clear, reinterpret_cast<void *>(&clear)},
                                         {0, nullptr}};
};

}  // namespace tarvex::kernel
