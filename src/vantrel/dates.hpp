// Date and time values on the wire: ISO 8601 text, UTC for aware values.
#pragma once

#include <nanobind/nanobind.h>

namespace vantrel {

namespace nb = nanobind;

void init_dates();

// True for dt.datetime, dt.date (pandas Timestamp included) and numpy datetime64.
bool is_date_value(PyObject *value);

// The "Date" payload of such a value.
nb::object date_text(nb::handle value);

// dt.datetime.fromisoformat(text), or the payload unchanged when it does not parse.
nb::object parse_date(nb::handle payload);

}  // namespace vantrel
