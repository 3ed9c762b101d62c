// python_function_call: the add-in calls back a Python callable that user
// code handed to it earlier (registered under an id by the object bridge).
// Run on a worker thread; answered with one python_function_result.
#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/prepared_replies.hpp"
#include "kernel/transport/wire_text.hpp"

namespace tarvex::kernel {

namespace {

struct CallbackCall {
    nb::object callable_id, args, request_id, workbook_id;

    explicit CallbackCall(nb::handle message)
        : callable_id(get(message, names::callable_id, nb::str(""))),
          args(get(message, names::args, nb::list())),
          request_id(get(message, names::request_id)),
          workbook_id(get(message, names::workbook_id)) {}
};

Coro send_error(nb::object self, CallbackCall call, nb::object error_type, nb::object error_msg,
                nb::object traceback_str) {
    co_await send_message(self,
                          make_message({{names::type, nb::str("python_function_result")},
                                        {names::success, Py_False},
                                        {names::error, error_record(error_type, error_msg, traceback_str)},
                                        {names::request_id, call.request_id},
                                        {names::workbook_id, call.workbook_id}}));
    co_return nb::none();
}

nb::object registered_callable(nb::handle callable_id) {
    nb::object func =
        module_global(names::tarvex).attr(names::messaging).attr(names::get_callable)(callable_id);
    if (func.is_none()) {
        PyErr_Format(PyExc_ValueError, "Callable '%S' not found in registry", callable_id.ptr());
        throw nb::python_error();
    }
    if (!PyCallable_Check(func.ptr())) {
        PyErr_Format(PyExc_TypeError, "Object with id '%S' is not callable", callable_id.ptr());
        throw nb::python_error();
    }
    return func;
}

// The worker (execute_callable). A failed lookup or argument decoding is
// reported without a printed traceback; a failure of the call itself (or of
// encoding its result) has its traceback printed to the request's stderr.
// A generator returned by the callable is not iterated.
nb::dict execute_callable(nb::handle self, const CallbackCall &call, CapturedOutput &output) {
    log().debug(worker_prefix(), "Executing callable: ", call.callable_id);
    try {
        nb::object func = registered_callable(call.callable_id);
        nb::object call_args = deserialize_args(self, call.args);
        nb::object value, result;
        try {
            value = call_with(func, call_args);
            result = wire_text(value);
        } catch (...) {
            nb::object e = catch_any();
            print_exception(e);
            raise(e);
        }
        return make_message({{names::status, nb::str("success")},
                             {names::result, result},
                             {names::base_result, value},
                             {names::logs, output.logs()}});
    } catch (...) {
        nb::object e = catch_any();
        return make_message({{names::status, nb::str("error")},
                             {names::result, Py_None},
                             {names::logs, output.logs()},
                             {names::error, extract_tracebak_string(e)}});
    }
}

// The reply of a finished call (after its result_output), made on the
// worker (see prepared_replies.hpp).
void prepare_replies(PreparedReplies &replies, const CallbackCall &call, nb::handle outcome) {
    replies.prepare([&](PreparedReplies &out) {
        nb::object logs = get(outcome, names::logs, nb::str(""));
        if (get(outcome, names::status).equal(nb::str("success"))) {
            nb::object text = get(outcome, names::result);
            if (!is_null_text(text))
                out.add(make_message({{names::type, nb::str("result_output")},
                                      {names::content, out_line(get(outcome, names::base_result))},
                                      {names::request_id, call.request_id},
                                      {names::workbook_id, call.workbook_id}}));
            out.add(make_message({{names::type, nb::str("python_function_result")},
                                  {names::success, Py_True},
                                  {names::result, wire_field(text)},
                                  {names::logs, logs},
                                  {names::request_id, call.request_id},
                                  {names::workbook_id, call.workbook_id}}));
        } else {
            out.add(make_message({{names::type, nb::str("python_function_result")},
                                  {names::success, Py_False},
                                  {names::error, get(outcome, names::error, nb::str("Unknown error"))},
                                  {names::logs, logs},
                                  {names::request_id, call.request_id},
                                  {names::workbook_id, call.workbook_id}}));
        }
    });
}

Coro handle_python_function_call(nb::object self, nb::object message) {
    CallbackCall call(message);
    log().info("[Kernel] Received python_function_call: callable_id=", call.callable_id,
               " (request_id=", call.request_id, ")");
    if (!truthy(call.callable_id)) {
        co_await send_error(self, call, nb::str("ValidationError"), nb::str("Missing callable_id"),
                            nb::str(""));
        co_return nb::none();
    }
    log().debug("[Kernel] [Async Task] Dispatching python_function_call to worker: callable_id=",
                call.callable_id);

    nb::object failure;
    try {
        // Stream messages of a callback always name the add-in.
        RequestRun run(self, call.request_id, call.workbook_id, nb::str("addin"));
        auto replies = std::make_shared<PreparedReplies>();
        nb::object outcome = co_await run_captured(run, [self, call, replies](CapturedOutput &output) {
            nb::dict outcome = execute_callable(self, call, output);
            prepare_replies(*replies, call, outcome);
            drop_user_value(outcome, names::base_result);
            drop_user_value(outcome, names::result);  // its text is in the reply
            return outcome;
        });
        nb::object logs = get(outcome, names::logs, nb::str(""));
        if (truthy(logs))
            log().info("[Kernel] Callable logs:\n", logs);
        co_await PreparedReplies::send(self, replies);
        if (get(outcome, names::status).equal(nb::str("success")))
            log().info("[Kernel] Python function call succeeded: callable_id=", call.callable_id);
        else
            log().error("[Kernel] Python function call failed: callable_id=", call.callable_id);
    } catch (...) {
        failure = catch_exception();
    }
    if (failure.is_valid()) {
        log().error("[Kernel] Unexpected error in _handle_python_function_call: ", nb::str(failure));
        co_await send_error(self, call, type_name_of(failure), nb::str(failure),
                            extract_tracebak_string(failure));
    }
    co_return nb::none();
}

}  // namespace

void define_python_function_call(ClassBuilder &cls) {
    cls.method(
        "_handle_python_function_call",
        [](nb::handle self, nb::object message) {
            require_dict(message, "message");
            return handle_python_function_call(nb::borrow(self), std::move(message))
                .named("_handle_python_function_call", "PythonKernel._handle_python_function_call");
        },
        nb::arg("message").none());
}

}  // namespace tarvex::kernel
