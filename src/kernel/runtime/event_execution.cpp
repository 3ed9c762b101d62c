// event_execution: the user's handler of a workbook event, run on a worker
// thread with the event's arguments; its return value is not used. Answered
// with one event_execution_result. A message without the handler's names is
// only logged: there is nothing to run and nobody to tell.
#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/prepared_replies.hpp"

namespace tarvex::kernel {

namespace {

struct Event {
    nb::object module_name, function_name, request_id, workbook_id, args;
};

nb::dict event_result(const Event &event, const char *status, nb::handle logs, nb::handle error) {
    return make_message({{names::type, nb::str("event_execution_result")},
                         {names::status, nb::str(status)},
                         {names::logs, logs},
                         {names::error, error},
                         {names::request_id, event.request_id},
                         {names::module_name, event.module_name},
                         {names::function_name, event.function_name},
                         {names::workbook_id, event.workbook_id}});
}

// The worker (execute_event). The arguments are decoded before the module is
// imported.
nb::dict execute_event(nb::handle self, const Event &event, CapturedOutput &output) {
    log().debug(worker_prefix(), "Executing event handler: ", event.module_name, ".", event.function_name);
    try {
        nb::object call_args = deserialize_args(self, event.args);
        import_user_module(event.module_name);
        nb::object module = loaded_module(event.module_name);
        if (!module.is_valid()) {
            PyErr_Format(PyExc_ImportError, "Module '%S' not found in sys.modules", event.module_name.ptr());
            throw nb::python_error();
        }
        if (!has_attribute(module, event.function_name)) {
            PyErr_Format(PyExc_AttributeError, "Function '%S' not found in module '%S'",
                         event.function_name.ptr(), event.module_name.ptr());
            throw nb::python_error();
        }
        call_with(module.attr(event.function_name), call_args);
        return make_message(
            {{names::status, nb::str("success")}, {names::logs, output.logs()}, {names::error, Py_None}});
    } catch (...) {
        nb::object e = catch_any();
        print_exception(e);
        return make_message({{names::status, nb::str("error")},
                             {names::logs, output.logs()},
                             {names::error, extract_tracebak_string(e)}});
    }
}

Coro handle_event_execution(nb::object self, nb::object message) {
    Event event{get(message, names::module_name, nb::str("")),
                get(message, names::function_name, nb::str("")), get(message, names::request_id),
                get(message, names::workbook_id, self.attr(names::workbook_id)), nb::object()};
    if (!truthy(event.module_name) || !truthy(event.function_name)) {
        log().error("[Kernel] event_execution missing module_name or function_name");
        co_return nb::none();
    }
    event.args = get(message, names::args, nb::list());
    nb::object object_name = get(message, names::object_name, nb::str(""));
    nb::object event_type = get(message, names::event_type, nb::str(""));
    nb::object object_type = get(message, names::object_type, nb::str(""));
    log().info("[Kernel] [Async Task] Received event_execution: ", event.module_name, ".",
               event.function_name, " (object=", object_type, "/", object_name, ", event=", event_type, ")");
    log().debug("[Kernel] [Async Task] Dispatching event_execution to worker: ", event.module_name, ".",
                event.function_name);

    nb::object failure;
    try {
        // Stream messages of an event handler always name the add-in.
        RequestRun run(self, event.request_id, event.workbook_id, nb::str("addin"));
        auto replies = std::make_shared<PreparedReplies>();
        nb::object outcome = co_await run_captured(run, [self, event, replies](CapturedOutput &output) {
            nb::dict outcome = execute_event(self, event, output);
            replies->prepare([&](PreparedReplies &out) {
                nb::object logs = get(outcome, names::logs, nb::str(""));
                bool succeeded = get(outcome, names::status).equal(nb::str("success"));
                out.add(succeeded ? event_result(event, "success", logs, nb::none())
                                  : event_result(event, "error", logs,
                                                 get(outcome, names::error, nb::str("Unknown error"))));
            });
            return outcome;
        });
        nb::object logs = get(outcome, names::logs, nb::str(""));
        if (truthy(logs))
            log().info("[Kernel] Event handler logs:\n", logs);
        if (get(outcome, names::status).equal(nb::str("success")))
            log().info("[Kernel] Event handler executed successfully: ", event.module_name, ".",
                       event.function_name);
        else
            log().error("[Kernel] Event handler failed: ", event.module_name, ".", event.function_name);
        co_await PreparedReplies::send(self, replies);
    } catch (...) {
        failure = catch_exception();
    }
    if (failure.is_valid()) {
        log().error("[Kernel] Unexpected error in _handle_event_execution: ", nb::str(failure));
        co_await send_message(self,
                              event_result(event, "error", nb::str(""), extract_tracebak_string(failure)));
    }
    co_return nb::none();
}

}  // namespace

void define_event_execution(ClassBuilder &cls) {
    cls.method(
        "_handle_event_execution",
        [](nb::handle self, nb::object message) {
            require_dict(message, "message");
            return handle_event_execution(nb::borrow(self), std::move(message))
                .named("_handle_event_execution", "PythonKernel._handle_event_execution");
        },
        nb::arg("message").none());
}

}  // namespace tarvex::kernel
