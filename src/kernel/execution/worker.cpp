#include "kernel/execution/worker.hpp"

#include "common/args.hpp"
#include "kernel/execution/float_list_repr.hpp"
#include "kernel/execution/stream_classes.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"

namespace tarvex::kernel {

namespace {

nb::object stream_callback(nb::handle kernel, std::shared_ptr<const OutputEnvelope> envelope,
                           OutputStream stream, const char *error_prefix) {
    return nb::cpp_function(
        [kernel = nb::borrow(kernel), envelope = std::move(envelope), stream, error_prefix](nb::object text) {
            require_str(text, "text");
            try {
                post_output(kernel, envelope, stream, text);
            } catch (...) {
                nb::object e = catch_exception();
                log().debug(error_prefix, nb::str(e));
            }
        },
        nb::name(stream == OutputStream::out ? "stdout_callback" : "stderr_callback"),
        nb::arg("text").none());
}

}  // namespace

nb::object running_loop() { return nb::handle(refs.get_running_loop)(); }

RequestStreams::RequestStreams(nb::handle kernel, nb::handle request_id, nb::handle workbook_id,
                               nb::handle source) {
    auto envelope = OutputEnvelope::for_request(request_id, workbook_id, source);
    stdout_callback =
        stream_callback(kernel, envelope, OutputStream::out, "[Kernel] stdout streaming error: ");
    stderr_callback =
        stream_callback(kernel, envelope, OutputStream::err, "[Kernel] stderr streaming error: ");
}

RequestRun::RequestRun(nb::handle kernel_, nb::handle request_id, nb::handle workbook_id, nb::handle source)
    : kernel(nb::borrow(kernel_)), loop(running_loop()), streams(kernel_, request_id, workbook_id, source) {}

void RequestRun::post(nb::handle message) const { post_message(kernel, message); }

nb::object run_in_worker(nb::handle pool, nb::handle loop, nb::object fn) {
    return loop.attr(names::run_in_executor)(pool, fn);
}

void WorkerPrefix::append_to(std::string &out) const {
    out += concat("[Kernel] [Worker Thread ", nb::handle(refs.current_thread)().attr(names::name), "] ");
}

void import_user_module(nb::handle module_name) {
    PyObject *top = PyImport_ImportModuleLevelObject(module_name.ptr(), nullptr, nullptr, nullptr, 0);
    if (top) {
        Py_DECREF(top);
        return;
    }
    nb::python_error error;
    if (error.matches(PyExc_ModuleNotFoundError)) {
        PyObject *missing = nullptr;
        if (PyObject_GetOptionalAttrString(error.value().ptr(), "name", &missing) < 0)
            PyErr_Clear();
        bool itself = missing && PyObject_RichCompareBool(missing, module_name.ptr(), Py_EQ) == 1;
        Py_XDECREF(missing);
        PyErr_Clear();
        if (itself)
            return;
    }
    drop_import_system_frames(error.value());
    throw error;
}

nb::object loaded_module(nb::handle module_name) {
    PyObject *module = PyImport_GetModule(module_name.ptr());
    if (!module && PyErr_Occurred())
        throw nb::python_error();
    return nb::steal(module);
}

bool has_attribute(nb::handle obj, nb::handle name) {
    int found = PyObject_HasAttrWithError(obj.ptr(), name.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

nb::object deserialize_args(nb::handle kernel, nb::handle args) {
    return kernel.attr(names::_deserialize_args)(args);
}

nb::object call_with(nb::handle func, nb::handle args) {
    nb::object positional = nb::steal(PySequence_Tuple(args.ptr()));
    if (!positional.is_valid())
        throw nb::python_error();
    PyObject *value = PyObject_Call(func.ptr(), positional.ptr(), nullptr);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

void print_exception(nb::handle e) {
    nb::module_::import_("traceback")
        .attr("print_exception")(e, nb::arg("file") = nb::handle(refs.sys).attr(names::stderr_));
}

nb::object failure_text(nb::handle e) {
    nb::str text = nb::str(e);
    if (PyUnicode_GET_LENGTH(text.ptr()) > 0)
        return text;
    return type_name_of(e);
}

nb::object out_line(nb::handle value) {
    nb::object line = float_list_out_line(value);
    if (line.is_valid())
        return line;
    return nb::str("Out: ") + repr_text(value) + nb::str("\n");
}

void drop_user_value(nb::handle outcome, PyObject *key) {
    if (PyDict_Check(outcome.ptr()) && PyDict_Pop(outcome.ptr(), key, nullptr) < 0)
        throw nb::python_error();
}

}  // namespace tarvex::kernel
