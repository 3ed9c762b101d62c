#include "kernel/execution/tracebacks.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

PyObject *virtual_frame_pattern = nullptr;  // str
PyObject *name_pattern_head = nullptr;
PyObject *name_pattern_tail = nullptr;

nb::dict location(nb::handle module, nb::handle line_text) {
    nb::object line = nb::steal(PyLong_FromUnicodeObject(line_text.ptr(), 10));
    if (!line.is_valid())
        throw nb::python_error();
    nb::object file = nb::str("<virtual:{}>").attr("format")(module);
    return make_message({{names::module, module}, {names::line, line}, {names::file, file}});
}

}  // namespace

nb::str extract_tracebak_string(nb::handle e) {
    if (!PyExceptionInstance_Check(e.ptr())) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "e", "Exception", Py_TYPE(e.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object tb = nb::steal(PyException_GetTraceback(e.ptr()));
    nb::object lines =
        nb::handle(refs.format_exception)(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(e.ptr()))), e,
                                          tb.is_valid() ? nb::handle(tb) : nb::none());
    return owned<nb::str>(PyUnicode_Join(nb::str("").ptr(), lines.ptr()));
}

nb::dict error_record(nb::handle type_name, nb::handle message, nb::handle traceback_text) {
    return make_message(
        {{names::type, type_name}, {names::message, message}, {names::traceback, traceback_text}});
}

nb::dict error_record(nb::handle e) {
    nb::object type_name = type_name_of(e);
    nb::str message = nb::str(e);
    nb::str text = extract_tracebak_string(e);
    return error_record(type_name, message, text);
}

nb::dict parse_error_location(nb::object traceback_text, nb::handle in_memory_modules) {
    require_str(traceback_text, "traceback_str");
    nb::object matches = nb::handle(refs.re_findall)(nb::handle(virtual_frame_pattern), traceback_text);
    Py_ssize_t count = PyList_GET_SIZE(matches.ptr());
    if (count > 0) {
        nb::handle last = PyList_GET_ITEM(matches.ptr(), count - 1);  // the innermost frame
        return location(nb::handle(PyTuple_GET_ITEM(last.ptr(), 0)),
                        nb::handle(PyTuple_GET_ITEM(last.ptr(), 1)));
    }
    for (nb::handle name : nb::iter(in_memory_modules)) {
        nb::object escaped = nb::handle(refs.re_escape)(name);
        nb::object pattern = nb::handle(name_pattern_head) + escaped + nb::handle(name_pattern_tail);
        nb::object found = nb::handle(refs.re_search)(pattern, traceback_text);
        if (!found.is_none())
            return location(name, found.attr("group")(1));
    }
    return nb::dict();
}

namespace {

bool is_import_system_frame(PyTracebackObject *entry) {
    PyCodeObject *code = PyFrame_GetCode(entry->tb_frame);
    nb::object file_name = nb::borrow(code->co_filename);
    Py_DECREF(code);
    nb::str prefix("<frozen importlib.");
    Py_ssize_t starts = PyUnicode_Tailmatch(file_name.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (starts < 0)
        throw nb::python_error();
    return starts == 1;
}

}  // namespace

void drop_import_system_frames(nb::handle e) {
    PyObject *raw = PyException_GetTraceback(e.ptr());
    if (!raw)
        return;
    nb::object tb = nb::steal(raw);
    nb::handle first = tb;
    while (!first.is_none()) {
        auto *entry = reinterpret_cast<PyTracebackObject *>(first.ptr());
        if (!entry->tb_next || !is_import_system_frame(entry))
            break;
        first = reinterpret_cast<PyObject *>(entry->tb_next);
    }
    if (!first.is(tb) && PyException_SetTraceback(e.ptr(), first.ptr()) < 0)
        throw nb::python_error();
}

void define_traceback_functions(nb::module_ &m) {
    virtual_frame_pattern = PyUnicode_FromString("File [\"\\']<virtual:(\\w+)>[\"\\'], line (\\d+)");
    name_pattern_head = PyUnicode_FromString("File [\"\\'][^\"\\']*");
    name_pattern_tail = PyUnicode_FromString("[^\"\\']*[\"\\'], line (\\d+)");
    m.def("extract_tracebak_string", &extract_tracebak_string, nb::arg("e").none());
    m.def("_parse_error_location", &parse_error_location, nb::arg("traceback_str").none(),
          nb::arg("in_memory_modules").none());
}

}  // namespace tarvex::kernel
