// The display line of a list of floats, written in C++: a column of numbers
// is what worksheet functions return most, and Python's repr of a million
// floats takes longer than sending their wire values.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel {

namespace nb = nanobind;

// "Out: " + repr(value) + "\n", character for character, when `value` is a
// list (not a subclass) of floats (not subclasses); otherwise an invalid
// object, for repr() to make the line.
nb::object float_list_out_line(nb::handle value);

}  // namespace tarvex::kernel
