// execution_request: editor code run on a worker thread with its output
// streamed, answered with execution_result or execution_error.
#include <chrono>

#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/handlers/worker_request.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/interrupts.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"
#include "kernel/transport/prepared_replies.hpp"

namespace tarvex::kernel {

namespace {

// The replies of a finished run, made on the worker (see
// prepared_replies.hpp).
void prepare_replies(PreparedReplies &replies, nb::handle outcome, nb::handle request_id,
                     nb::handle function_name, nb::handle workbook_id, nb::handle source) {
    replies.prepare([&](PreparedReplies &out) {
        if (!truthy(outcome[names::success])) {
            out.add(make_message({{names::type, nb::str("execution_error")},
                                  {names::success, Py_False},
                                  {names::error, outcome[names::error]},
                                  {names::request_id, request_id},
                                  {names::function_name, function_name},
                                  {names::workbook_id, workbook_id},
                                  {names::source, source}}));
            return;
        }
        nb::object result = outcome[names::result];
        nb::object shown = result.is_none() ? nb::none() : nb::object(repr_text(result));
        if (!result.is_none())
            out.add(make_message({{names::type, nb::str("result_output")},
                                  {names::content, nb::str("Out: ") + shown + nb::str("\n")},
                                  {names::request_id, request_id},
                                  {names::workbook_id, workbook_id},
                                  {names::source, source}}));
        // A caller that names a function wants the value itself; the editor
        // shows its repr.
        out.add(make_message({{names::type, nb::str("execution_result")},
                              {names::success, Py_True},
                              {names::result, is_nonempty_str(function_name) ? result : shown},
                              {names::request_id, request_id},
                              {names::function_name, function_name},
                              {names::workbook_id, workbook_id},
                              {names::source, source}}));
    });
}

// The run, on a pool thread, from start to replies: the replies are made,
// encoded and handed to the outbox here, behind the run's own output, so
// the loop's part ends with the hand-off to the pool.
void run_execution(nb::object self, nb::object code, nb::object request_id, nb::object function_name,
                   nb::object source, std::chrono::steady_clock::time_point start) {
    nb::object failure;
    try {
        KernelState &state = kernel_state(self);
        nb::object workbook_id = state.workbook_id;
        RequestStreams streams(self, request_id, workbook_id, source);
        WorkerPrefix prefix = worker_prefix();
        log().debug(prefix, "Executing code (request_id=", request_id, ")");
        nb::object outcome =
            state.executor.attr(names::execute)(code, streams.stdout_callback, streams.stderr_callback);
        log().debug(prefix, "Execution completed (request_id=", request_id, ")");
        PreparedReplies replies;
        prepare_replies(replies, outcome, request_id, function_name, workbook_id, source);
        drop_user_value(outcome, names::result);
        log().debug("[TIMING] Execution completed: request_id=", request_id,
                    ", elapsed=", ms1(elapsed_ms(start)), "ms");
        nb::object success = outcome[names::success];
        log().debug("[Kernel] [Async Task] Execution finished, success=", success,
                    " (request_id=", request_id, ")");
        if (truthy(success))
            log().info("[Kernel] Sending execution_result (success) for request_id=", request_id);
        else
            log().info("[Kernel] Sending execution_error for request_id=", request_id, ": ",
                       nb::str(outcome[names::error]));
        replies.post(self);
    } catch (...) {
        failure = catch_exception();
    }
    if (!failure.is_valid())
        return;

    log().error("[TIMING] Execution failed: request_id=", request_id, ", elapsed=", ms1(elapsed_ms(start)),
                "ms, error=", nb::str(failure));
    log().error("[Kernel] Unexpected error in _execute_code_async: ", nb::str(failure));
    try {
        post_message(self, make_message({{names::type, nb::str("execution_error")},
                                         {names::success, Py_False},
                                         {names::error, error_record(failure)},
                                         {names::request_id, request_id},
                                         {names::source, source}}));
    } catch (...) {
        log().error("[Kernel] Failed to send error message: ", nb::str(catch_exception()));
    }
}

// Hands the checked request to the pool; the concurrent future of its run.
nb::object submit_checked(nb::handle self, nb::handle code, nb::handle request_id, nb::handle function_name,
                          nb::handle source) {
    auto start = std::chrono::steady_clock::now();
    log().debug("[TIMING] Execution started: request_id=", request_id, ", function=", function_name);
    log().debug("[Kernel] [Async Task] Submitting execution to worker thread pool (request_id=", request_id,
                ")");
    InterruptibleRef interruptible = Interruptible::accept(request_id);
    auto run = [self = nb::borrow(self), code = nb::borrow(code), request_id = nb::borrow(request_id),
                function_name = nb::borrow(function_name), source = nb::borrow(source), start,
                interruptible] {
        BoundRun bound(interruptible);
        run_execution(self, code, request_id, function_name, source, start);
    };
    nb::object future = kernel_state(self).pool_for(source).attr(names::submit)(nb::cpp_function(run));
    interruptible->queued(future, run);
    return future;
}

void check_arguments(nb::handle code, nb::handle request_id, nb::handle function_name, nb::handle source) {
    require_str(code, "code");
    require_str(request_id, "request_id", true);
    require_str(function_name, "function_name", true);
    require_str(source, "source");
}

// _execute_code_async: its arguments are checked when it is called, and the
// run is submitted once it is awaited, as the body of an `async def` runs.
Coro execute_code_async(nb::object self, nb::object code, nb::object request_id, nb::object function_name,
                        nb::object source) {
    co_await awaited_run(submit_checked(self, code, request_id, function_name, source));
    co_return nb::none();
}

// The execution's one way in, its arguments checked first: the concurrent
// future of the run.
nb::object submit_execution(nb::handle self, nb::handle code, nb::handle request_id, nb::handle function_name,
                            nb::handle source) {
    check_arguments(code, request_id, function_name, source);
    return submit_checked(self, code, request_id, function_name, source);
}

// Drops `value` on a pool thread: the last reference to user values runs
// their __del__, which is user code. Inline when the pool is gone.
void release_on_worker(nb::handle self, nb::object value) {
    auto held = std::make_shared<nb::object>(std::move(value));
    nb::object release = nb::cpp_function([held] { *held = nb::object(); });
    try {
        kernel_state(self).thread_pool.attr(names::submit)(release);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_RuntimeError))  // cannot schedule new futures after shutdown
            throw;
    }
}

}  // namespace

void define_execution_request(ClassBuilder &cls) {
    cls.method(
        "_execute_code_async",
        [](nb::object self, nb::object code, nb::object request_id, nb::object function_name,
           nb::object source) {
            check_arguments(code, request_id, function_name, source);
            return execute_code_async(std::move(self), std::move(code), std::move(request_id),
                                      std::move(function_name), std::move(source))
                .named("_execute_code_async", "PythonKernel._execute_code_async");
        },
        nb::arg("code").none(), nb::arg("request_id").none(), nb::arg("function_name").none() = nb::none(),
        nb::arg("source").none() = "ide");
}

void on_execution_request(nb::handle self, nb::handle message) {
    nb::object code = get(message, names::code, nb::str(""));
    nb::object request_id = get(message, names::request_id);
    nb::object function_name = get(message, names::function_name);
    nb::object source = get(message, names::source, nb::str("ide"));
    log().info("[Kernel] [Listener Thread] Received execution_request (source=", source,
               ", request_id=", request_id, ")");
    log().debug("[Kernel] Code length: ", nb::len(code), " chars");
    submit_execution(self, code, request_id, function_name, source);
}

Coro on_reset_namespace(nb::object self, nb::object) {
    nb::object executor = kernel_state(self).executor;
    nb::object old_names = nb::getattr(executor, names::globals, nb::none());
    executor.attr(names::reset_namespace)();
    release_on_worker(self, std::move(old_names));
    co_await send_message(self, make_message({{names::type, nb::str("namespace_reset")}}));
    co_return nb::none();
}

}  // namespace tarvex::kernel
