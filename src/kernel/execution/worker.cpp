#include "kernel/execution/worker.hpp"

#include "common/args.hpp"
#include "kernel/execution/float_list_repr.hpp"
#include "kernel/execution/stream_classes.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

nb::object stream_callback(nb::handle kernel, nb::handle loop, PyObject *stream_type, nb::handle request_id,
                           nb::handle workbook_id, nb::handle source, const char *error_prefix,
                           std::shared_ptr<RequestStreams::Trail> trail) {
    return nb::cpp_function(
        [kernel = nb::borrow(kernel), loop = nb::borrow(loop), stream_type = nb::borrow(stream_type),
         request_id = nb::borrow(request_id), workbook_id = nb::borrow(workbook_id),
         source = nb::borrow(source), error_prefix, trail = std::move(trail)](nb::object text) {
            require_str(text, "text");
            try {
                nb::dict message = make_message({{names::type, stream_type},
                                                 {names::content, text},
                                                 {names::request_id, request_id},
                                                 {names::workbook_id, workbook_id},
                                                 {names::source, source}});
                trail->last_send = schedule_send(kernel, loop, message);
            } catch (...) {
                nb::object e = catch_exception();
                log().debug(error_prefix, nb::str(e));
            }
        },
        nb::name(stream_type == names::stdout_ ? "stdout_callback" : "stderr_callback"),
        nb::arg("text").none());
}

}  // namespace

nb::object running_loop() { return nb::handle(refs.get_running_loop)(); }

RequestStreams::RequestStreams(nb::handle kernel, nb::handle loop, nb::handle request_id,
                               nb::handle workbook_id, nb::handle source)
    : trail(std::make_shared<Trail>()) {
    stdout_callback = stream_callback(kernel, loop, names::stdout_, request_id, workbook_id, source,
                                      "[Kernel] stdout streaming error: ", trail);
    stderr_callback = stream_callback(kernel, loop, names::stderr_, request_id, workbook_id, source,
                                      "[Kernel] stderr streaming error: ", trail);
}

// Sends of one request's output take the socket lock in the order they were
// scheduled, so the latest one finishing means all of them have.
Coro RequestStreams::wait_for_trail(std::shared_ptr<Trail> trail) {
    nb::object last = trail->last_send;
    if (!last.is_valid() || truthy(last.attr("done")()))
        co_return nb::none();
    try {
        co_await nb::handle(refs.wrap_future)(last);
    } catch (nb::python_error &e) {
        // A failed stream send is the stream's own business (logged where it
        // failed); cancellation of the waiting handler is not.
        if (e.matches(PyExc_BaseException) && !e.matches(PyExc_Exception))
            throw;
    }
    co_return nb::none();
}

RequestRun::RequestRun(nb::handle kernel_, nb::handle request_id, nb::handle workbook_id, nb::handle source)
    : kernel(nb::borrow(kernel_)),
      loop(running_loop()),
      streams(kernel_, loop, request_id, workbook_id, source) {}

void RequestRun::post(nb::handle message) const {
    streams.trail->last_send = schedule_send(kernel, loop, message);
}

Coro await_worker(RequestRun run, nb::object worker, Executor executor) {
    nb::object outcome = co_await run_in_worker(run.kernel, run.loop, worker, executor);
    co_await run.streams.flushed();
    co_return outcome;
}

nb::object run_in_worker(nb::handle kernel, nb::handle loop, nb::object fn, Executor executor) {
    PyObject *name = executor == Executor::streams ? names::_stream_pool : names::_thread_pool;
    return loop.attr(names::run_in_executor)(kernel.attr(name), fn);
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

void wait_for_send(nb::handle future, double timeout_s, const char *what) {
    try {
        future.attr("result")(timeout_s);  // concurrent.futures waits with the GIL released
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TimeoutError))
            throw;
        std::string text =
            concat("Sending ", what, " did not complete within ", ms1(timeout_s * 1000.0), " ms");
        PyErr_SetString(PyExc_TimeoutError, text.c_str());
        throw nb::python_error();
    }
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
