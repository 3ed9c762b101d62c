#include "kernel/execution/worker.hpp"

#include "common/args.hpp"
#include "kernel/execution/stream_classes.hpp"
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

nb::object run_in_worker(nb::handle kernel, nb::handle loop, nb::object fn) {
    return loop.attr(names::run_in_executor)(kernel.attr(names::_thread_pool), fn);
}

std::string worker_prefix() {
    return concat("[Kernel] [Worker Thread ", nb::handle(refs.current_thread)().attr(names::name), "] ");
}

void import_user_module(nb::handle module_name) {
    nb::object statement = nb::str("import ") + nb::str(module_name);
    nb::object code =
        nb::handle(refs.builtin_compile)(statement, "<string>", "exec", nb::arg("dont_inherit") = true);
    PyObject *result = PyEval_EvalCode(code.ptr(), refs.module_dict, refs.module_dict);
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}

void print_exception(nb::handle e) {
    nb::module_::import_("traceback")
        .attr("print_exception")(e, nb::arg("file") = nb::handle(refs.sys).attr(names::stderr_));
}

}  // namespace tarvex::kernel
