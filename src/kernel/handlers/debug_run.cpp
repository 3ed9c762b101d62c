// A debug run: one function of a workbook module called under the product's
// debugger (TarvexDebugger, debugger.py) on a worker thread. While the
// worker is paused inside the debugger, the receive loop keeps running, so
// the editor's debugger commands (dispatcher.cpp) reach _debugger. The
// debugger sends its own pause messages; this file reports the outcome and
// the end of the session.
#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/user_functions.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/interrupts.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"
#include "kernel/transport/prepared_replies.hpp"

namespace tarvex::kernel {

namespace {

struct DebugCall {
    nb::object module_name, function_name, args, breakpoints, request_id, workbook_id, source;
    InterruptibleRef interruptible;
};

// How the debugged call ended, as the worker hands it to the loop. The
// call's value never reaches the loop: its display line is made on the
// worker.
struct DebugOutcome {
    bool succeeded = false;
    bool is_generator = false;
    nb::object yield_count;  // a generator's: how many values it gave, or -1 when the run stopped first
    nb::object error;        // when failed: {type, message, traceback}
    bool debug_exception_sent = false;

    // The record the editor is sent when the failure could not be shown
    // where it happened.
    nb::dict failure_record() const {
        return make_message({{names::status, nb::str("error")},
                             {names::error, error},
                             {names::debug_exception_sent, nb::bool_(debug_exception_sent)}});
    }
};

// True when the editor (or a later debug run) stopped the session: the end
// was announced then, and the run has no result to show.
bool stopped(nb::handle debugger) {
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(debugger.ptr(), names::stopped, &value) < 0) {
        PyErr_Clear();
        return false;
    }
    nb::object flag = nb::steal(value);
    return flag.is_valid() && truthy(flag);
}

nb::object source_cache_names() {
    nb::object cache = module_global(names::in_memory_loader).attr(names::source_cache);
    return copy_list(cache.attr("keys")());
}

nb::dict result_output(const DebugCall &call, nb::handle content) {
    return make_message({{names::type, nb::str("result_output")},
                         {names::content, content},
                         {names::request_id, call.request_id},
                         {names::workbook_id, call.workbook_id},
                         {names::source, call.source}});
}

nb::dict debug_terminated(const DebugCall &call) {
    return make_message({{names::type, nb::str("debug_terminated")},
                         {names::request_id, call.request_id},
                         {names::workbook_id, call.workbook_id}});
}

// The iteration of a generator the debugged function returned, itself run
// under the debugger so that its body can be stepped: each value is shown
// as it comes. Gives (values, count).
nb::object iteration_to_debug(const RequestRun &run, const DebugCall &call, nb::handle generator) {
    return nb::cpp_function(
        [run, call, generator = nb::borrow(generator)]() {
            nb::list values;
            long count = 0;
            while (PyObject *next = PyIter_Next(generator.ptr())) {
                nb::object item = nb::steal(next);
                values.append(item);
                ++count;
                nb::object content = nb::str("Yield [") + nb::str(nb::int_(count)) + nb::str("]: ") +
                                     repr_text(item) + nb::str("\n");
                run.post(result_output(call, content));
            }
            if (PyErr_Occurred())
                throw nb::python_error();  // a stop of the debugger included: runcall ends it
            return nb::make_tuple(values, nb::int_(count));
        },
        nb::name("iteration_to_debug"));
}

// The user code failed: the editor is shown where, through debug_exception
// (waited for, so that it arrives before the session ends).
bool report_exception(const RequestRun &run, const DebugCall &call, nb::handle debugger, nb::handle e,
                      nb::handle traceback_text) {
    nb::object location = parse_error_location(nb::borrow(traceback_text), source_cache_names());
    log().info("[Kernel] Parsed error location: ", location);
    nb::object loop = debugger.is_valid() ? nb::getattr(debugger, names::loop, nb::none()) : nb::none();
    if (!debugger.is_valid() || !truthy(debugger) || !truthy(loop)) {
        log().warning("[Kernel] Cannot send debug_exception - no debugger or loop");
        return false;
    }
    log().info("[Kernel] Sending debug_exception message...");
    nb::dict message = make_message({{names::type, nb::str("debug_exception")},
                                     {names::workbook_id, call.workbook_id},
                                     {names::module, get(location, names::module, call.module_name)},
                                     {names::line, get(location, names::line, nb::int_(1))},
                                     {names::file, get(location, names::file, nb::str(""))},
                                     {names::exception_type, type_name_of(e)},
                                     {names::exception_message, nb::str(e)},
                                     {names::exception_traceback, traceback_text},
                                     {names::locals, nb::list()},
                                     {names::globals, nb::list()},
                                     {names::call_stack, nb::list()}});
    try {
        double timeout_s = nb::cast<double>(module_global(names::DEBUG_MESSAGE_SEND_TIMEOUT));
        send_and_wait(run.kernel, message, timeout_s, "the debug_exception message");
    } catch (...) {
        nb::object failure = catch_exception();
        log().error("[Kernel] Failed to send debug_exception: ", nb::str(failure));
        return false;
    }
    log().info("[Kernel] debug_exception message sent successfully");
    return true;
}

// The user's traceback starts at their own code: the entries of the
// debugger's runcall at its head are dropped.
void trim_debugger_frames(nb::handle e, nb::handle debugger) {
    nb::object debugger_module =
        nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(debugger.ptr()))).attr("__module__");
    nb::object entry = nb::steal(PyException_GetTraceback(e.ptr()));
    while (entry.is_valid() && !entry.is_none()) {
        auto *tb = reinterpret_cast<PyTracebackObject *>(entry.ptr());
        nb::object globals = nb::steal(PyFrame_GetGlobals(tb->tb_frame));
        if (!get(globals, names::__name__).equal(debugger_module) || !tb->tb_next)
            break;
        entry = nb::borrow(reinterpret_cast<PyObject *>(tb->tb_next));
    }
    if (entry.is_valid() && !entry.is_none())
        PyException_SetTraceback(e.ptr(), entry.ptr());
}

// The worker (debug_execute). A plain value's display line goes to `shown`.
DebugOutcome debug_execute(const RequestRun &run, const DebugCall &call, nb::handle debugger,
                           PreparedReplies &shown) {
    log().debug(worker_prefix(), "Debugging function: ", call.module_name, ".", call.function_name);
    DebugOutcome outcome;
    try {
        nb::object func = user_function(call.module_name, call.function_name, "Module '%S' not found");
        nb::object call_args = deserialize_args(run.kernel, call.args);
        nb::object positional = nb::steal(PySequence_Tuple(call_args.ptr()));
        if (!positional.is_valid())
            throw nb::python_error();
        nb::object runcall = debugger.attr(names::runcall);
        nb::object value, counted;
        {
            UserCode user;  // an interrupt of the run lands in here only
            value = call_with(runcall, nb::make_tuple(func) + positional);
            if (PyGen_Check(value.ptr()))
                counted = runcall(iteration_to_debug(run, call, value));
        }
        outcome.succeeded = true;
        outcome.is_generator = counted.is_valid();
        if (!outcome.is_generator)
            shown.prepare([&](PreparedReplies &out) { out.add(result_output(call, out_line(value))); });
        else
            outcome.yield_count = truthy(counted) ? nb::object(counted[1]) : nb::object(nb::int_(-1));
        return outcome;
    } catch (...) {
        nb::object e = catch_any();
        // An interrupt stopped the session, which said so then.
        if (call.interruptible->was_interrupted() && stopped(debugger)) {
            outcome.succeeded = true;
            return outcome;
        }
        trim_debugger_frames(e, debugger);
        log().error("[Kernel] Debug execution error: ", nb::str(e));
        nb::str traceback_text = extract_tracebak_string(e);
        log().error("[Kernel] Traceback: ", traceback_text);
        outcome.debug_exception_sent = report_exception(run, call, debugger, e, traceback_text);
        outcome.error = error_record(type_name_of(e), nb::str(e), traceback_text);
        return outcome;
    }
}

// A session still active when a new debug run starts is stopped first, as
// the editor's stop would: its worker would otherwise stay paused with no
// way left to resume it.
Coro stop_active_session(nb::object self) {
    nb::object previous = kernel_state(self).active_debugger();
    if (previous.is_none())
        co_return nb::none();
    log().info("[Kernel] Stopping the active debug session before starting a new one");
    previous.attr(names::stop_debugging)();
    kernel_state(self).forget_debugger(previous);
    co_await send_message(self, make_message({{names::type, nb::str("debug_terminated")},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    co_return nb::none();
}

Coro handle_debug_run_module(nb::object self, DebugCall call) {
    nb::object debugger = nb::none();
    nb::object failure;
    try {
        co_await stop_active_session(self);
        // The kernel's send_message as the product sees it: a replaced one
        // is what the debugger calls.
        debugger = module_global(names::TarvexDebugger)(self.attr(names::send_message), call.workbook_id);
        kernel_state(self).debugger = debugger;
        RequestRun run(self, call.request_id, call.workbook_id, call.source);
        debugger.attr(names::loop) = run.loop;
        debugger.attr(names::step_mode) = nb::none();
        debugger.attr(names::set_breakpoints)(call.breakpoints);
        debugger.attr(names::set_in_memory_modules)(source_cache_names());

        // The result's display line is made on the worker; it is sent only
        // when the session was not stopped meanwhile.
        auto shown = std::make_shared<PreparedReplies>();
        // An interrupt ends the session as the editor's stop does.
        call.interruptible->on_interrupt([self, debugger, workbook_id = call.workbook_id] {
            if (stopped(debugger))
                return;
            log().info("[Kernel] Interrupt: stopping the debug session");
            debugger.attr(names::stop_debugging)();
            post_message(self, make_message({{names::type, nb::str("debug_terminated")},
                                             {names::workbook_id, workbook_id}}));
        });
        auto outcome = std::make_shared<DebugOutcome>();
        co_await run_captured(run, kernel_state(self).pool_for(call.source),
                              [run, call, debugger, shown, outcome](CapturedOutput &) {
                                  BoundRun bound(call.interruptible);
                                  *outcome = debug_execute(run, call, debugger, *shown);
                                  return nb::none();
                              });
        bool was_stopped = stopped(debugger);
        if (outcome->succeeded) {
            if (outcome->is_generator) {
                nb::object content =
                    PyObject_RichCompareBool(outcome->yield_count.ptr(), nb::int_(0).ptr(), Py_GE) == 1
                        ? nb::object(nb::str("Out: Generator completed with ") +
                                     nb::str(outcome->yield_count) + nb::str(" yields\n"))
                        : nb::object(nb::str("Out: Generator stoped before ending\n"));
                co_await send_message(self, result_output(call, content));
            } else if (!was_stopped && !shown->empty()) {
                co_await PreparedReplies::send(self, shown);
            }
            if (was_stopped) {
                log().info(
                    "[Kernel] Debug execution stopped before its end; debug_terminated was already sent");
            } else {
                log().info("[Kernel] Debug execution completed successfully, sending debug_terminated");
                co_await send_message(self, debug_terminated(call));
            }
        } else if (outcome->debug_exception_sent) {
            log().info("[Kernel] Debug exception already sent, sending debug_terminated");
            co_await send_message(self, debug_terminated(call));
        } else {
            nb::dict record = outcome->failure_record();
            log().error("[Kernel] Debug execution failed: ", record);
            co_await send_message(self, make_message({{names::type, nb::str("execution_error")},
                                                      {names::success, Py_False},
                                                      {names::error, record},
                                                      {names::request_id, call.request_id},
                                                      {names::workbook_id, call.workbook_id},
                                                      {names::source, call.source}}));
        }
        kernel_state(self).forget_debugger(debugger);
        log().debug("[Kernel] Debugger instance cleaned up");
    } catch (...) {
        failure = catch_exception();
    }
    if (failure.is_valid()) {
        nb::str traceback_text = extract_tracebak_string(failure);
        log().error("[Kernel] Error in debug execution: ", nb::str(failure));
        log().error("[Kernel] Traceback: ", traceback_text);
        kernel_state(self).forget_debugger(
            debugger);  // before the send, so that a failed send cannot leave it set
        co_await send_message(
            self, make_message(
                      {{names::type, nb::str("execution_error")},
                       {names::success, Py_False},
                       {names::error, error_record(type_name_of(failure), nb::str(failure), traceback_text)},
                       {names::request_id, call.request_id},
                       {names::workbook_id, call.workbook_id},
                       {names::source, call.source}}));
    }
    co_return nb::none();
}

}  // namespace

nb::object debug_run_coroutine(nb::handle self, nb::object module_name, nb::object function_name,
                               nb::object args, nb::object breakpoints, nb::object request_id,
                               nb::object workbook_id, nb::object source) {
    require_str(module_name, "module_name");
    require_str(function_name, "function_name");
    require_list(args, "args");
    require_list(breakpoints, "breakpoints");
    require_str(request_id, "request_id", true);
    require_str(workbook_id, "workbook_id");
    require_str(source, "source");
    InterruptibleRef interruptible = Interruptible::accept(request_id);
    DebugCall call{std::move(module_name), std::move(function_name), std::move(args),
                   std::move(breakpoints), std::move(request_id),    std::move(workbook_id),
                   std::move(source),      std::move(interruptible)};
    return handle_debug_run_module(nb::borrow(self), std::move(call))
        .named("_handle_debug_run_module", "PythonKernel._handle_debug_run_module")
        .object();
}

void define_debug_run(ClassBuilder &cls) {
    cls.method("_handle_debug_run_module", &debug_run_coroutine, nb::arg("module_name").none(),
               nb::arg("function_name").none(), nb::arg("args").none(), nb::arg("breakpoints").none(),
               nb::arg("request_id").none(), nb::arg("workbook_id").none(), nb::arg("source").none() = "ide");
}

}  // namespace tarvex::kernel
