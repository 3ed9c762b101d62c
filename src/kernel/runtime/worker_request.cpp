#include "kernel/runtime/worker_request.hpp"

#include "kernel/execution/tracebacks.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/wire_text.hpp"

namespace tarvex::kernel {

namespace {

void add_fields(nb::dict &message, std::span<const Field> fields) {
    for (const auto &[key, value] : fields) message[key] = value;
}

// The worker: the user's code run, the replies made. The user's value and
// the failure (with the frames its traceback holds) are let go here, on the
// worker, after the run's logs are read; the loop gets {status, logs}.
nb::dict run_and_prepare(nb::handle self, const WorkerRequest &request, CapturedOutput &output,
                         PreparedReplies &replies) {
    RunOutcome outcome;
    nb::object failure;
    try {
        outcome.returned = request.run(self);
        outcome.succeeded = true;
    } catch (...) {
        failure = catch_any();
        outcome.error = extract_tracebak_string(failure);
    }
    outcome.logs = output.logs();
    failure.reset();
    replies.prepare([&](PreparedReplies &out) {
        if (outcome.returned.text.is_valid())
            outcome.result = wire_field(outcome.returned.text);  // encoded once for every reply
        request.add_replies(out, outcome);
    });
    return make_message(
        {{names::status, nb::str(outcome.succeeded ? "success" : "error")}, {names::logs, outcome.logs}});
}

}  // namespace

Coro run_worker_request(nb::object self, std::shared_ptr<const WorkerRequest> request) {
    const RequestLogText &text = request->log_text;
    nb::object failure;
    try {
        RequestRun run(self, request->request_id, request->workbook_id, request->source);
        auto replies = std::make_shared<PreparedReplies>();
        nb::object outcome = co_await run_captured(run, [self, request, replies](CapturedOutput &output) {
            return run_and_prepare(self, *request, output, *replies);
        });
        nb::object logs = get(outcome, names::logs);
        if (truthy(logs))
            log().info(text.logs_heading, logs);
        bool succeeded = get(outcome, names::status).equal(nb::str("success"));
        if (text.outcome_before_replies)
            request->log_outcome(succeeded);
        co_await PreparedReplies::send(self, replies);
        if (!text.outcome_before_replies)
            request->log_outcome(succeeded);
    } catch (...) {
        failure = catch_exception();
    }
    if (failure.is_valid()) {
        log().error("[Kernel] Unexpected error in ", text.handler, ": ", nb::str(failure));
        co_await send_messages(self, request->failure_replies(failure));
    }
    co_return nb::none();
}

Coro send_messages(nb::object self, std::vector<nb::dict> messages) {
    for (nb::dict &message : messages) co_await send_message(self, message);
    co_return nb::none();
}

nb::dict call_reply(const char *type, bool succeeded, nb::handle value, nb::handle logs,
                    std::span<const Field> ids) {
    nb::dict message = make_message({{names::type, nb::str(type)},
                                     {names::success, nb::bool_(succeeded)},
                                     {succeeded ? names::result : names::error, value}});
    if (logs.is_valid())
        message[names::logs] = logs;
    add_fields(message, ids);
    return message;
}

void add_result_output(PreparedReplies &out, const RunOutcome &outcome, std::span<const Field> ids) {
    if (!outcome.succeeded || is_null_text(outcome.returned.text))
        return;
    nb::dict message = make_message(
        {{names::type, nb::str("result_output")}, {names::content, out_line(outcome.returned.value)}});
    add_fields(message, ids);
    out.add(message);
}

}  // namespace tarvex::kernel
