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

Logger Logger::for_module(const char *module_name) {
    nb::object get_logger = nb::module_::import_("tarvex_master.logging_config").attr("get_logger");
    return Logger(get_logger(module_name));
}

Logger::Logger(nb::object logger)
    : logger_(std::move(logger)), is_enabled_for_(logger_.attr("isEnabledFor")), log_(logger_.attr("log")) {}

bool Logger::enabled(Level level) const {
    if (!logger_.is_valid())
        return false;
    return nb::cast<bool>(is_enabled_for_(static_cast<int>(level)));
}

void Logger::emit(Level level, std::string_view message, bool exc_info) const {
    nb::str text(message.data(), message.size());
    if (exc_info)
        log_(static_cast<int>(level), text, nb::arg("exc_info") = true);
    else
        log_(static_cast<int>(level), text);
}

}  // namespace tarvex
