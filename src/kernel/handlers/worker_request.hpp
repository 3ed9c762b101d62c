// A request that calls user code on a pool thread and answers once it
// returns (a custom function, a callback of a callable, an event handler).
// submit_worker_request does what they all do, all of it on the pool thread:
// runs the code with its output captured and streamed, makes the replies,
// logs the run's output and outcome, hands the replies to the outbox after
// that output, and answers with the request's own error reply when the
// handling itself fails.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <span>
#include <vector>

#include "common/coro.hpp"
#include "kernel/execution/captured_output.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/interrupts.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_class.hpp"
#include "kernel/transport/prepared_replies.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// What the user's code returned and its wire text; both unset when the
// value is not used.
struct UserValue {
    nb::object value;
    nb::object text;
};

// A finished run, as the replies are made from it on the worker.
struct RunOutcome {
    bool succeeded = false;
    UserValue returned;  // when succeeded
    nb::object result;   // the replies' field for returned.text, when there is one
    nb::object error;    // when failed: the traceback text
    nb::object logs;     // the run's stdout followed by its stderr
};

// How the log tells one kind of request from another.
struct RequestLogText {
    const char *handler;          // the handler's Python name, in the line of a failed handling
    const char *logs_heading;     // starts the line with the run's output
    bool outcome_before_replies;  // the outcome line comes before the replies are sent, not after
};

class WorkerRequest {
public:
    WorkerRequest(nb::object request_id, nb::object workbook_id, nb::object source, RequestLogText log_text)
        : request_id(std::move(request_id)),
          workbook_id(std::move(workbook_id)),
          source(std::move(source)),
          log_text(log_text),
          interruptible(Interruptible::accept(this->request_id)) {}
    virtual ~WorkerRequest() = default;

    // On the worker, output captured: calls the user's code. What it raises
    // is the run's failure.
    virtual UserValue run(nb::handle self) const = 0;
    // On the worker: the replies of the finished run.
    virtual void add_replies(PreparedReplies &out, const RunOutcome &outcome) const = 0;
    // On the worker: the line that says how the run ended.
    virtual void log_outcome(bool succeeded) const = 0;
    // On the worker: the replies when handling the request failed.
    virtual std::vector<nb::dict> failure_replies(nb::handle failure) const = 0;

    nb::object request_id, workbook_id;
    nb::object source;  // named by the run's output messages
    RequestLogText log_text;
    InterruptibleRef interruptible;  // registered as the request is made, on the loop
};

// Hands `request` to the pool, which handles it as the top of this file
// says; the concurrent future of that.
nb::object submit_worker_request(nb::handle self, std::shared_ptr<const WorkerRequest> request);
// Awaits a run begun by submit_worker_request; None (nothing was run) is
// done at once.
Coro awaited_run(nb::object running);

// A request's one way in, on the loop: reads the message, answers at once
// when there is nothing to run, hands the rest to the pool. The concurrent
// future of the run, or None.
using SubmitRequest = nb::object (*)(nb::handle self, nb::handle message);
// Defines the handler `name(message)` of the class: a coroutine (its
// __qualname__ `qualname`) that checks the message is a dict, submits it
// and awaits the run.
void define_request_handler(ClassBuilder &cls, const char *name, const char *qualname, SubmitRequest submit);

// Runs `body()`; what it raises has its traceback printed to the request's
// stderr (so it is streamed and in the logs), then propagates.
template <typename Body>
auto printing_traceback(Body body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        nb::object e = catch_any();
        print_exception(e);
        raise(e);
    }
}

// Hands `messages` to the outbox in order.
void post_messages(nb::handle self, const std::vector<nb::dict> &messages);

// How a call answers: {type, success, result or (failed) error, logs, then
// `ids`}. `value` is the result or the error; without `logs` (invalid) the
// field is left out, as for a call that never ran.
nb::dict call_reply(const char *type, bool succeeded, nb::handle value, nb::handle logs,
                    std::span<const Field> ids);
inline nb::dict call_reply(const char *type, const RunOutcome &outcome, std::span<const Field> ids) {
    return call_reply(type, outcome.succeeded, outcome.succeeded ? outcome.result : outcome.error,
                      outcome.logs, ids);
}

// The result_output that shows a call's value ("Out: <repr>"), followed by
// `ids`; nothing when the run failed or the value's wire text is null.
void add_result_output(PreparedReplies &out, const RunOutcome &outcome, std::span<const Field> ids);

}  // namespace tarvex::kernel
