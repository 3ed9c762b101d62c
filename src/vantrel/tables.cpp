// pandas tables on the wire: the column labels as a header row, then the
// rows of the frame's values; the index is dropped.
#include <nanobind/nanobind.h>

#include "vantrel/refs.hpp"
#include "vantrel/wire.hpp"

namespace vantrel {

bool is_table(PyObject *value) {
    return PyObject_TypeCheck(value, refs.pd_series) || PyObject_TypeCheck(value, refs.pd_dataframe);
}

nb::object table_rows(nb::handle table) {
    nb::object frame =
        PyObject_TypeCheck(table.ptr(), refs.pd_series) ? table.attr(names.to_frame)() : nb::borrow(table);
    nb::object header = frame.attr(names.columns).attr(names.tolist)();
    nb::object values = frame.attr(names.values);

    // A 2-D array gives all its rows as lists in one call; anything else
    // is taken row by row.
    nb::object rows;
    if (PyObject_TypeCheck(values.ptr(), refs.np_ndarray) && nb::cast<int>(values.attr(names.ndim)) == 2) {
        rows = values.attr(names.tolist)();
    } else {
        rows = owned(PyList_New(0));
        for_each_yielded(values, [&](nb::handle row) {
            check(PyList_Append(rows.ptr(), row.attr(names.tolist)().ptr()));
        });
    }

    Py_ssize_t n = PyList_GET_SIZE(rows.ptr());
    nb::object all_rows = owned(PyList_New(n + 1));
    PyList_SET_ITEM(all_rows.ptr(), 0, header.release().ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(all_rows.ptr(), i + 1, Py_NewRef(PyList_GET_ITEM(rows.ptr(), i)));
    return all_rows;
}

nb::object table_to_wire(nb::handle table, const ElementConverter &convert) {
    return convert(table_rows(table));
}

}  // namespace vantrel
