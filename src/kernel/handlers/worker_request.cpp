#include "kernel/handlers/worker_request.hpp"

#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"
#include "kernel/transport/wire_text.hpp"

namespace tarvex::kernel {

namespace {

void add_fields(nb::dict &message, std::span<const Field> fields) {
    for (const auto &[key, value] : fields) message[key] = value;
}

// How a run ended, as the log tells it once the replies are made.
struct RunEnd {
    bool succeeded = false;
    nb::object logs;
};

// The worker: the user's code run, the replies made. The user's value and
// the failure (with the frames its traceback holds) are let go here, on the
// worker, after the run's logs are read.
RunEnd run_and_prepare(nb::handle self, const WorkerRequest &request, CapturedOutput &output,
                       PreparedReplies &replies) {
    RunOutcome outcome;
    nb::object failure;
    try {
        UserCode user;  // an interrupt of the request lands in here only
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
    return {outcome.succeeded, std::move(outcome.logs)};
}

// Everything from the run to the replies happens on the pool thread: the
// replies go to the outbox behind the run's own output, so the loop's part
// of a request ends with the hand-off.
void serve_worker_request(nb::handle self, const WorkerRequest &request) {
    const RequestLogText &text = request.log_text;
    nb::object failure;
    try {
        RequestStreams streams(self, request.request_id, request.workbook_id, request.source);
        PreparedReplies replies;
        RunEnd end;
        {
            CapturedOutput output(streams.stdout_callback, streams.stderr_callback,
                                  CapturedOutput::Keep::text);
            end = run_and_prepare(self, request, output, replies);
        }
        if (truthy(end.logs))
            log().info(text.logs_heading, end.logs);
        if (text.outcome_before_replies)
            request.log_outcome(end.succeeded);
        replies.post(self);
        if (!text.outcome_before_replies)
            request.log_outcome(end.succeeded);
    } catch (...) {
        failure = catch_exception();
    }
    if (!failure.is_valid())
        return;
    log().error("[Kernel] Unexpected error in ", text.handler, ": ", nb::str(failure));
    try {
        post_messages(self, request.failure_replies(failure));
    } catch (...) {
        log().error("[Kernel] Failed to send error message: ", nb::str(catch_exception()));
    }
}

}  // namespace

nb::object submit_worker_request(nb::handle self, std::shared_ptr<const WorkerRequest> request) {
    InterruptibleRef interruptible = request->interruptible;
    nb::object pool = kernel_state(self).pool_for(request->source);
    auto serve = [self = nb::borrow(self), request = std::move(request)] {
        BoundRun bound(request->interruptible);
        serve_worker_request(self, *request);
    };
    nb::object future = pool.attr(names::submit)(nb::cpp_function(serve));
    interruptible->queued(future, serve);
    return future;
}

Coro awaited_run(nb::object running) {
    if (!running.is_none())
        co_await nb::handle(refs.wrap_future)(running);
    co_return nb::none();
}

void define_request_handler(ClassBuilder &cls, const char *name, const char *qualname, SubmitRequest submit) {
    cls.method(
        name,
        [name, qualname, submit](nb::handle self, nb::object message) {
            require_dict(message, "message");
            return awaited_run(submit(self, message)).named(name, qualname);
        },
        nb::arg("message").none());
}

void post_messages(nb::handle self, const std::vector<nb::dict> &messages) {
    for (const nb::dict &message : messages) post_message(self, message);
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
