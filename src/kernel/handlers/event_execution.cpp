// event_execution: the user's handler of a workbook event, run on a worker
// thread with the event's arguments; its return value is not used. Answered
// with one event_execution_result. A message without the handler's names is
// only logged: there is nothing to run and nobody to tell.
#include <vector>

#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/user_functions.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/handlers/worker_request.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

// The arguments are decoded before the module is imported; whatever fails
// has its traceback printed to the request's stderr. The handler's output
// names the add-in as source, and its outcome is logged before its reply is
// sent.
struct Event final : WorkerRequest {
    nb::object module_name, function_name, args;

    Event(nb::handle self, nb::handle message)
        : WorkerRequest(get(message, names::request_id),
                        get(message, names::workbook_id, kernel_state(self).workbook_id), nb::str("addin"),
                        {"_handle_event_execution", "[Kernel] Event handler logs:\n", true}),
          module_name(get(message, names::module_name, nb::str(""))),
          function_name(get(message, names::function_name, nb::str(""))) {}

    UserValue run(nb::handle self) const override {
        log().debug(worker_prefix(), "Executing event handler: ", module_name, ".", function_name);
        return printing_traceback([&] {
            nb::object call_args = deserialize_args(self, args);
            call_with(user_function(module_name, function_name, "Module '%S' not found in sys.modules"),
                      call_args);
            return UserValue{};
        });
    }

    void add_replies(PreparedReplies &out, const RunOutcome &outcome) const override {
        out.add(outcome.succeeded ? result("success", outcome.logs, nb::none())
                                  : result("error", outcome.logs, outcome.error));
    }

    void log_outcome(bool succeeded) const override {
        if (succeeded)
            log().info("[Kernel] Event handler executed successfully: ", module_name, ".", function_name);
        else
            log().error("[Kernel] Event handler failed: ", module_name, ".", function_name);
    }

    std::vector<nb::dict> failure_replies(nb::handle failure) const override {
        return {result("error", nb::str(""), extract_tracebak_string(failure))};
    }

private:
    nb::dict result(const char *status, nb::handle logs, nb::handle error) const {
        return make_message({{names::type, nb::str("event_execution_result")},
                             {names::status, nb::str(status)},
                             {names::logs, logs},
                             {names::error, error},
                             {names::request_id, request_id},
                             {names::module_name, module_name},
                             {names::function_name, function_name},
                             {names::workbook_id, workbook_id}});
    }
};

}  // namespace

// An event without the handler's names is only logged.
nb::object submit_event_execution(nb::handle self, nb::handle message) {
    auto event = std::make_shared<Event>(self, message);
    if (!truthy(event->module_name) || !truthy(event->function_name)) {
        log().error("[Kernel] event_execution missing module_name or function_name");
        return nb::none();
    }
    event->args = get(message, names::args, nb::list());
    nb::object object_name = get(message, names::object_name, nb::str(""));
    nb::object event_type = get(message, names::event_type, nb::str(""));
    nb::object object_type = get(message, names::object_type, nb::str(""));
    log().info("[Kernel] [Async Task] Received event_execution: ", event->module_name, ".",
               event->function_name, " (object=", object_type, "/", object_name, ", event=", event_type, ")");
    log().debug("[Kernel] [Async Task] Dispatching event_execution to worker: ", event->module_name, ".",
                event->function_name);
    return submit_worker_request(self, event);
}

void define_event_execution(ClassBuilder &cls) {
    define_request_handler(cls, "_handle_event_execution", "PythonKernel._handle_event_execution",
                           &submit_event_execution);
}

}  // namespace tarvex::kernel
