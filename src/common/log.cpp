#include "log.hpp"

#include <cstdio>

namespace tarvex {

std::string ms1(double milliseconds) {
    char buf[48];
    int n = std::snprintf(buf, sizeof buf, "%.1f", milliseconds);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

void detail::append_str(std::string &out, nb::handle obj) {
    PyObject *text = PyUnicode_Check(obj.ptr()) ? nb::handle(obj).inc_ref().ptr() : PyObject_Str(obj.ptr());
    if (!text)
        throw nb::python_error();
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8)
        out.append(utf8, static_cast<size_t>(size));
    Py_DECREF(text);
    if (!utf8)
        throw nb::python_error();
}

namespace {

PyObject *disabled_key() {
    static PyObject *key = PyUnicode_InternFromString("disabled");  // lives as long as the process
    return key;
}

}  // namespace

Logger Logger::for_module(const char *module_name) {
    nb::object get_logger = nb::module_::import_("tarvex_master.logging_config").attr("get_logger");
    return Logger(get_logger(module_name));
}

Logger::Logger(nb::object logger)
    : logger_(std::move(logger)),
      is_enabled_for_(logger_.attr("isEnabledFor")),
      log_(logger_.attr("log")),
      make_record_(logger_.attr("makeRecord")),
      handle_(logger_.attr("handle")),
      name_(logger_.attr("name")) {
    nb::object answers = nb::getattr(logger_, "_cache", nb::none());
    nb::object attributes = nb::getattr(logger_, "__dict__", nb::none());
    if (PyDict_CheckExact(answers.ptr()) && PyDict_CheckExact(attributes.ptr())) {
        answers_ = std::move(answers);
        attributes_ = std::move(attributes);
    }
}

bool Logger::enabled(Level level) const {
    if (!logger_.is_valid())
        return false;
    if (answers_.is_valid()) {
        // As isEnabledFor: a disabled logger answers False whatever its cache says.
        PyObject *disabled = PyDict_GetItemWithError(attributes_.ptr(), disabled_key());
        if (disabled == Py_True)
            return false;
        if (!disabled && PyErr_Occurred())
            throw nb::python_error();
        nb::object key = nb::int_(static_cast<int>(level));
        PyObject *known = PyDict_GetItemWithError(answers_.ptr(), key.ptr());  // borrowed
        if (known)
            return known == Py_True;
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return nb::cast<bool>(is_enabled_for_(static_cast<int>(level)));
}

// Records made here skip Logger.findCaller: the nearest Python frame of a
// C++ caller says nothing about where the line comes from (the product's
// format shows none of it), and the frame walk is a third of a record's cost.
void Logger::emit(Level level, std::string_view message, bool exc_info) const {
    nb::str text(message.data(), message.size());
    if (exc_info) {
        log_(static_cast<int>(level), text, nb::arg("exc_info") = true);
        return;
    }
    nb::object record = make_record_(name_, static_cast<int>(level), "(unknown file)", 0, text, nb::tuple(),
                                     nb::none(), "(unknown function)");
    handle_(record);
}

}  // namespace tarvex
