#include "pyimport.hpp"

#include <nanobind/stl/string.h>

namespace tarvex {

std::string parent_package(nb::handle module) {
    std::string name = nb::cast<std::string>(module.attr("__name__"));
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

nb::object import_sibling(const std::string &package, const char *name) {
    if (!package.empty()) {
        try {
            return nb::module_::import_((package + "." + name).c_str());
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ImportError))
                throw;
        }
    }
    return nb::module_::import_(name);
}

}  // namespace tarvex
