// custom_function_call: a function of a workbook module computing a cell,
// called on a worker thread with its arguments decoded from wire values and
// its output streamed. Answered with result_output, execution_result (or
// execution_error) and function_execution_result. The editor's run command
// ends up here too (run_module.cpp).
#include <array>
#include <vector>

#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/user_functions.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/handlers/worker_request.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/wire_text.hpp"

namespace tarvex::kernel {

namespace {

// The JSON text of the result's wire value. A generator is run to its end
// here, on the worker: the cell gets the list of everything it yielded.
nb::bytes wire_result(nb::handle value) {
    if (!PyGen_Check(value.ptr()))
        return wire_text(value);
    std::vector<nb::bytes> items;
    nb::object iterator = nb::borrow(value);
    while (PyObject *item = PyIter_Next(iterator.ptr())) items.push_back(wire_text(nb::steal(item)));
    if (PyErr_Occurred())
        throw nb::python_error();
    return wire_list_text(items);
}

// Everything the user's code raises becomes the outcome, its traceback
// printed to the request's stderr. Replies: execution_result (or
// execution_error), then function_execution_result with the same record.
struct Call final : WorkerRequest {
    nb::object module_name, function_name, args;

    explicit Call(nb::handle message)
        : WorkerRequest(get(message, names::request_id), get(message, names::workbook_id),
                        get(message, names::source, nb::str("addin")),
                        {"_handle_custom_function_call", "[Kernel] Function logs:\n", false}),
          module_name(get(message, names::module_name, nb::str(""))),
          function_name(get(message, names::function_name, nb::str(""))),
          args(get(message, names::args, nb::list())) {}

    UserValue run(nb::handle self) const override {
        log().debug(worker_prefix(), "Executing custom function: ", module_name, ".", function_name);
        return printing_traceback([&] {
            nb::object func = user_function(module_name, function_name,
                                            "Module '%S' not found in sys.modules. Make sure the module "
                                            "has been synced via update_module.");
            nb::object value = call_with(func, deserialize_args(self, args));
            return UserValue{value, wire_result(value)};
        });
    }

    void add_replies(PreparedReplies &out, const RunOutcome &outcome) const override {
        add_result_output(out, outcome,
                          std::array<Field, 3>{{{names::request_id, request_id},
                                                {names::workbook_id, workbook_id},
                                                {names::source, source}}});
        out.add(call_reply(outcome.succeeded ? "execution_result" : "execution_error", outcome, ids()));
        nb::dict finished = function_result(
            outcome.succeeded ? "success" : "error",
            {{names::result, outcome.succeeded ? outcome.result : nb::none()}, {names::logs, outcome.logs}});
        if (!outcome.succeeded)
            finished[names::error] = outcome.error;
        out.add(finished);
    }

    void log_outcome(bool succeeded) const override {
        if (succeeded)
            log().info("[Kernel] Custom function call succeeded: ", module_name, ".", function_name);
        else
            log().error("[Kernel] Custom function call failed: ", module_name, ".", function_name);
    }

    std::vector<nb::dict> failure_replies(nb::handle failure) const override {
        return error_replies(error_record(failure));
    }

    // The replies of a call that never ran: the error record goes out in
    // execution_error, then in function_execution_result.
    std::vector<nb::dict> error_replies(nb::handle record) const {
        return {call_reply("execution_error", false, record, nb::handle(), ids()),
                function_result("error", {{names::error, record}})};
    }

private:
    std::array<Field, 5> ids() const {
        return {{{names::request_id, request_id},
                 {names::module_name, module_name},
                 {names::function_name, function_name},
                 {names::workbook_id, workbook_id},
                 {names::source, source}}};
    }

    nb::dict function_result(const char *status, std::initializer_list<Field> fields) const {
        nb::dict message = make_message({{names::type, nb::str("function_execution_result")},
                                         {names::request_id, request_id},
                                         {names::status, nb::str(status)}});
        for (const auto &[key, value] : fields) message[key] = value;
        return message;
    }
};

nb::dict validation_error(const char *message) {
    return error_record(nb::str("ValidationError"), nb::str(message), nb::str(""));
}

}  // namespace

// A call that names nothing to run is answered at once.
nb::object submit_custom_function_call(nb::handle self, nb::handle message) {
    auto call = std::make_shared<const Call>(message);
    log().info("[Kernel] Received custom_function_call: ", call->module_name, ".", call->function_name,
               " (source=", call->source, ", request_id=", call->request_id, ")");
    if (!truthy(call->module_name)) {
        post_messages(self, call->error_replies(validation_error("Missing module_name")));
        return nb::none();
    }
    if (!truthy(call->function_name)) {
        post_messages(self, call->error_replies(validation_error("Missing function_name")));
        return nb::none();
    }
    log().debug("[Kernel] [Async Task] Dispatching custom_function_call to worker: ", call->module_name, ".",
                call->function_name);
    return submit_worker_request(self, call);
}

void define_custom_function_call(ClassBuilder &cls) {
    define_request_handler(cls, "_handle_custom_function_call", "PythonKernel._handle_custom_function_call",
                           &submit_custom_function_call);
}

}  // namespace tarvex::kernel
