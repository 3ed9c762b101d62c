#include "vantrel/dates.hpp"

#include <datetime.h>

#include <string_view>

#include "vantrel/refs.hpp"

namespace vantrel {

namespace {

bool is_coarser_than_a_day(std::string_view unit) {
    return unit == "Y" || unit == "M" || unit == "W" || unit == "D";
}

// A numpy datetime64 has no time zone. Day (and coarser) values are sent as
// the date their period starts on; finer values as the matching date-time,
// rendered like a dt.datetime (fraction only when non-zero), unless they
// carry digits below the microsecond or lie outside dt.datetime's years, in
// which case numpy's own text at the value's precision is sent. Not-a-time
// is "NaT", as for pandas.
nb::object datetime64_text(nb::handle value) {
    // numpy answers with its own str subclass; the wire carries plain text.
    auto np_as_string = [](auto &&...args) {
        return owned(PyObject_Str(nb::handle(refs.np_datetime_as_string)(args...).ptr()));
    };
    if (truthy(owned(PyObject_CallOneArg(refs.np_isnat, value.ptr()))))
        return nb::str("NaT");

    nb::object unit_info = owned(PyObject_CallOneArg(refs.np_datetime_data, value.attr(names.dtype).ptr()));
    nb::str unit = nb::str(unit_info[0]);
    if (is_coarser_than_a_day(unit.c_str()))
        return np_as_string(value.attr(names.astype)(nb::handle(refs.day_dtype)));

    nb::object micro = value.attr(names.astype)(nb::handle(refs.us_dtype));
    nb::object round_trip = micro.attr(names.astype)(value.attr(names.dtype));
    if (round_trip.equal(value)) {
        nb::object as_datetime = micro.attr(names.item)();
        if (PyDateTime_Check(as_datetime.ptr()))
            return as_datetime.attr(names.isoformat)();
    }
    return np_as_string(value);
}

}  // namespace

void init_dates() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw nb::python_error();
}

bool is_date_value(PyObject *value) {
    return PyDate_Check(value) || PyObject_TypeCheck(value, refs.np_datetime64);
}

nb::object date_text(nb::handle value) {
    if (PyDateTime_Check(value.ptr())) {
        // Subclasses (pandas Timestamp) may keep their zone elsewhere: ask them.
        nb::object tzinfo = PyDateTime_CheckExact(value.ptr())
                                ? nb::borrow(PyDateTime_DATE_GET_TZINFO(value.ptr()))
                                : value.attr(names.tzinfo);
        if (truthy(tzinfo)) {
            nb::object utc_value = value.attr(names.astimezone)(nb::handle(PyDateTime_TimeZone_UTC));
            return utc_value.attr(names.isoformat)();
        }
        return value.attr(names.isoformat)();
    }
    if (PyDate_Check(value.ptr()))
        return value.attr(names.isoformat)();
    return datetime64_text(value);
}

nb::object parse_date(nb::handle payload) {
    PyObject *parsed = PyObject_CallMethodOneArg(reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType),
                                                 names.fromisoformat, payload.ptr());
    if (parsed)
        return nb::steal(parsed);
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(payload);
}

}  // namespace vantrel
