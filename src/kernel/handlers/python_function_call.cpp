// python_function_call: the add-in calls back a Python callable that user
// code handed to it earlier (registered under an id by the object bridge).
// Run on a worker thread; answered with one python_function_result.
#include <array>
#include <vector>

#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/handlers/worker_request.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"
#include "kernel/transport/wire_text.hpp"

namespace tarvex::kernel {

namespace {

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

// A failed lookup or argument decoding is reported without a printed
// traceback; a failure of the call itself (or of encoding its result) has
// its traceback printed to the request's stderr. A generator returned by
// the callable is not iterated. Its output names the add-in as source.
struct CallbackCall final : WorkerRequest {
    nb::object callable_id, args;

    explicit CallbackCall(nb::handle message)
        : WorkerRequest(get(message, names::request_id), get(message, names::workbook_id), nb::str("addin"),
                        {"_handle_python_function_call", "[Kernel] Callable logs:\n", false}),
          callable_id(get(message, names::callable_id, nb::str(""))),
          args(get(message, names::args, nb::list())) {}

    UserValue run(nb::handle self) const override {
        log().debug(worker_prefix(), "Executing callable: ", callable_id);
        nb::object func = registered_callable(callable_id);
        nb::object call_args = deserialize_args(self, args);
        return printing_traceback([&] {
            nb::object value = call_with(func, call_args);
            return UserValue{value, wire_text(value)};
        });
    }

    // After its result_output, one python_function_result.
    void add_replies(PreparedReplies &out, const RunOutcome &outcome) const override {
        add_result_output(out, outcome, ids());
        out.add(call_reply("python_function_result", outcome, ids()));
    }

    void log_outcome(bool succeeded) const override {
        if (succeeded)
            log().info("[Kernel] Python function call succeeded: callable_id=", callable_id);
        else
            log().error("[Kernel] Python function call failed: callable_id=", callable_id);
    }

    std::vector<nb::dict> failure_replies(nb::handle failure) const override {
        return {error_reply(error_record(failure))};
    }

    nb::dict error_reply(nb::handle record) const {
        return call_reply("python_function_result", false, record, nb::handle(), ids());
    }

private:
    std::array<Field, 2> ids() const {
        return {{{names::request_id, request_id}, {names::workbook_id, workbook_id}}};
    }
};

}  // namespace

// A call without a callable is answered at once.
nb::object submit_python_function_call(nb::handle self, nb::handle message) {
    auto call = std::make_shared<const CallbackCall>(message);
    log().info("[Kernel] Received python_function_call: callable_id=", call->callable_id,
               " (request_id=", call->request_id, ")");
    if (!truthy(call->callable_id)) {
        nb::dict record =
            error_record(nb::str("ValidationError"), nb::str("Missing callable_id"), nb::str(""));
        post_message(self, call->error_reply(record));
        return nb::none();
    }
    log().debug("[Kernel] [Async Task] Dispatching python_function_call to worker: callable_id=",
                call->callable_id);
    return submit_worker_request(self, call);
}

void define_python_function_call(ClassBuilder &cls) {
    define_request_handler(cls, "_handle_python_function_call", "PythonKernel._handle_python_function_call",
                           &submit_python_function_call);
}

}  // namespace tarvex::kernel
