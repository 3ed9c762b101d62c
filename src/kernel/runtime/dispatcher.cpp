// handle_message: one incoming message at a time, on the event loop. Cheap
// requests are answered inline; anything that runs user code becomes a task
// so that the receive loop keeps reading (sys_response above all, which
// blocked workers wait for).
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/args.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/runtime/worker_request.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/interrupts.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"

namespace tarvex::kernel {

namespace {

// A route either returns at once (handling the message on the spot, or
// starting a task that does) or gives a coroutine that the receive loop
// awaits before it reads the next frame: kept for quick replies whose order
// with the next message matters.
using ImmediateHandler = void (*)(nb::handle self, nb::handle message);
using AwaitedHandler = Coro (*)(nb::object self, nb::object message);
struct Route {
    ImmediateHandler immediate = nullptr;
    AwaitedHandler awaited = nullptr;
};

Route immediate(ImmediateHandler handler) { return {handler, nullptr}; }
Route awaited(AwaitedHandler handler) { return {nullptr, handler}; }

struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
using RouteTable = std::unordered_map<std::string, Route, TextHash, std::equal_to<>>;
RouteTable *routes = nullptr;  // built once, never destroyed

// A handler that fails after it started is refused like one that fails at
// once: the peer is answered and the kernel keeps serving.
// Tasks start eagerly: a handler runs at once up to its first real wait
// (usually the hand-off to a worker), with no extra turn of the loop.
void start_task(nb::handle self, nb::handle message, nb::object handler) {
    nb::object guarded = refusing_failures(nb::borrow(self), nb::borrow(message), std::move(handler))
                             .named("refusing_failures", "PythonKernel.refusing_failures")
                             .object();
    nb::handle(refs.create_task)(guarded, nb::arg("eager_start") = true);
}

// The debug run's debugger, or an invalid object when none is active.
nb::object active_debugger(nb::handle self) {
    nb::object debugger = kernel_state(self).debugger;
    if (debugger.is_valid() && debugger.is_none())
        debugger.reset();
    return debugger;
}

// Handlers that wait for a pool thread run as tasks, so that the receive
// loop keeps reading (the pool's workers may be waiting for sys_responses).
template <AwaitedHandler handler>
void start_as_task(nb::handle self, nb::handle message) {
    start_task(self, message, handler(nb::borrow(self), nb::borrow(message)).object());
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

// --- execution and later features: tasks ---

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

// A message handler: its coroutine for one message (see python_kernel.hpp).
using HandlerCoroutine = nb::object (*)(nb::handle self, nb::handle message);

// Starts `handler` for the message as a task, after the log line `Log`, if
// any.
template <HandlerCoroutine handler, const char *Log = nullptr>
void start_handler(nb::handle self, nb::handle message) {
    if constexpr (Log != nullptr)
        log().info(Log);
    start_task(self, message, handler(self, message));
}

// Hands a request to the pool, after the log line `Log`: no task waits for
// its run.
template <SubmitRequest submit, const char *Log>
void start_directly(nb::handle self, nb::handle message) {
    log().info(Log);
    submit(self, message);
}


constexpr char custom_function_call_log[] =
    "[Kernel] [Listener Thread] Dispatching custom_function_call to worker";
constexpr char run_module_log[] = "[Kernel] [Listener Thread] Dispatching run_module to worker";
constexpr char event_execution_log[] = "[Kernel] [Listener Thread] Dispatching event_execution to worker";
constexpr char python_function_call_log[] =
    "[Kernel] [Listener Thread] Dispatching python_function_call to worker";

void on_execute_streaming_function(nb::handle self, nb::handle message) {
    nb::object request_id = get(message, names::request_id);
    nb::object module_name = get(message, names::module_name);
    nb::object function_name = get(message, names::function_name);
    nb::object args = get(message, names::args, nb::list());
    nb::object workbook = get(message, names::workbook_id, nb::str(""));
    nb::object source = get(message, names::source, nb::str("addin"));
    log().debug("[TIMING] Dispatching streaming function to background task");
    log().info("[Kernel] [Listener Thread] Dispatching execute_streaming_function to background task");
    start_task(self, message,
               streaming_function_coroutine(self, request_id, module_name, function_name, args, workbook, source));
}

// Cancel ids of streams that already ended stay in the set; only the newest
// MAX_CANCELED_STREAMS are kept, in arrival order (the state's
// canceled_order).
void remember_cancel(nb::handle self, nb::handle request_id) {
    KernelState &state = kernel_state(self);
    nb::object canceled = state.canceled_streams;
    canceled.attr("add")(request_id);
    nb::object order = state.canceled_order;
    nb::borrow<nb::list>(order).append(request_id);
    Py_ssize_t limit = module_size_constant(names::MAX_CANCELED_STREAMS);
    Py_ssize_t size = nb::len(canceled);
    if (size <= limit && PyList_GET_SIZE(order.ptr()) <= 2 * limit)
        return;
    nb::list still_canceled;
    for (nb::handle id : order)
        if (contains(canceled, id))
            still_canceled.append(id);
    Py_ssize_t first_kept = 0;
    for (; size > limit && first_kept < PyList_GET_SIZE(still_canceled.ptr()); ++first_kept, --size)
        canceled.attr("discard")(still_canceled[first_kept]);
    if (first_kept > 0)
        log().warning("[Kernel] Forgot ", first_kept, " cancel requests of streams that had ended (at most ",
                      limit, " are kept)");
    nb::object kept =
        nb::steal(PyList_GetSlice(still_canceled.ptr(), first_kept, PyList_GET_SIZE(still_canceled.ptr())));
    if (!kept.is_valid())
        throw nb::python_error();
    state.canceled_order = kept;
}

void on_cancel_streaming_function(nb::handle self, nb::handle message) {
    nb::object request_id = get(message, names::request_id);
    log().info("[Kernel] Received cancel_streaming_function for request_id: ", request_id);
    remember_cancel(self, request_id);
}

// An interrupt is answered at once, in a lane of its own so that it never
// waits behind the output of the request it stops; a queued run it takes
// out of its queue answers right after.
void on_interrupt_request(nb::handle self, nb::handle message) {
    nb::object request_id = get(message, names::request_id);
    if (!PyUnicode_Check(request_id.ptr())) {
        log().warning("[Kernel] Received interrupt_request without request_id");
        post_message(self, make_message({{names::type, nb::str("error")},
                                         {names::message, nb::str("interrupt_request requires request_id")}}));
        return;
    }
    log().info("[Kernel] Received interrupt_request for request_id: ", request_id);
    nb::dict reply = make_message({{names::type, nb::str("interrupt_reply")},
                                   {names::request_id, request_id},
                                   {names::interrupted, Py_False},
                                   {names::workbook_id, kernel_state(self).workbook_id}});
    EncodedMessage answer;
    bool interrupted = interrupt(request_id, [&](bool any) {
        reply[names::interrupted] = nb::bool_(any);
        answer = encode_message(reply);
        answer.lane = "interrupt";
        post_encoded(self, std::move(answer));
    });
    log().info("[Kernel] interrupt_request for request_id: ", request_id,
               interrupted ? " interrupted it" : " found nothing running");
}

// --- editor requests: tasks, analysed on the kernel's analysis thread ---

// Tasks start in the order they are created, and each handler hands its
// analysis to the one analysis thread in its first step, so requests are
// analysed and answered in arrival order. A request that cannot be handled
// (a field of the wrong type) is refused like any other message.

// --- paths, namespace and modules: inline ---

Coro on_add_path(nb::object self, nb::object message) {
    nb::object path = get(message, names::path, nb::str(""));
    kernel_state(self).virtual_env.attr(names::add_path)(path);
    co_await send_message(self, make_message({{names::type, nb::str("path_added")},
                                              {names::path, path},
                                              {names::current_paths, sys_path()}}));
    co_return nb::none();
}

Coro on_remove_path(nb::object self, nb::object message) {
    nb::object path = get(message, names::path, nb::str(""));
    kernel_state(self).virtual_env.attr(names::remove_path)(path);
    co_await send_message(self, make_message({{names::type, nb::str("path_removed")},
                                              {names::path, path},
                                              {names::current_paths, sys_path()}}));
    co_return nb::none();
}

Coro on_reset_namespace(nb::object self, nb::object) {
    nb::object executor = kernel_state(self).executor;
    nb::object old_names = nb::getattr(executor, names::globals, nb::none());
    executor.attr(names::reset_namespace)();
    release_on_worker(self, std::move(old_names));
    co_await send_message(self, make_message({{names::type, nb::str("namespace_reset")}}));
    co_return nb::none();
}

Coro on_reset_path(nb::object self, nb::object) {
    kernel_state(self).virtual_env.attr(names::reset_path)();
    co_await send_message(
        self, make_message({{names::type, nb::str("path_reset")}, {names::current_paths, sys_path()}}));
    co_return nb::none();
}

Coro on_update_module(nb::object self, nb::object message) {
    nb::object module_name = get(message, names::module_name, nb::str(""));
    nb::object code = get(message, names::code, nb::str(""));
    nb::dict reply;
    if (truthy(module_name)) {
        module_global(names::in_memory_loader).attr(names::update_module)(module_name, code);
        // The editor's diagnostics of the modules that use it see the new text.
        queue_lexora_call(self, names::sync_modules, make_message({{module_name.ptr(), code}}));
        log().info("[Kernel] Updated virtual module: ", module_name);
        reply = make_message({{names::type, nb::str("module_updated")}, {names::module_name, module_name}});
    } else {
        log().warning("[Kernel] Received update_module without module_name");
        reply = make_message({{names::type, nb::str("error")},
                              {names::message, nb::str("update_module requires module_name")}});
    }
    co_await send_message(self, reply);
    co_return nb::none();
}

Coro on_delete_module(nb::object self, nb::object message) {
    nb::object module_name = get(message, names::module_name, nb::str(""));
    nb::dict reply;
    if (truthy(module_name)) {
        module_global(names::in_memory_loader).attr(names::delete_module)(module_name);
        queue_lexora_call(self, names::delete_module, module_name);
        log().info("[Kernel] Deleted virtual module: ", module_name);
        reply = make_message({{names::type, nb::str("module_deleted")}, {names::module_name, module_name}});
    } else {
        log().warning("[Kernel] Received delete_module without module_name");
        reply = make_message({{names::type, nb::str("error")},
                              {names::message, nb::str("delete_module requires module_name")}});
    }
    co_await send_message(self, reply);
    co_return nb::none();
}

Coro on_shutdown(nb::object self, nb::object) {
    co_await disconnect(self);
    co_return nb::none();
}

// --- debugger commands: inline, ignored without a debug run ---

Coro on_debug_continue(nb::object self, nb::object) {
    nb::object debugger = active_debugger(self);
    if (!debugger.is_valid())
        co_return nb::none();
    debugger.attr(names::continue_execution)();
    co_await send_message(self, make_message({{names::type, nb::str("debug_resumed")}}));
    co_return nb::none();
}

template <PyObject **Command>
void on_debug_step(nb::handle self, nb::handle) {
    if (nb::object debugger = active_debugger(self); debugger.is_valid())
        debugger.attr(*Command)();
}

Coro on_debug_stop(nb::object self, nb::object) {
    nb::object stopping = active_debugger(self);
    if (!stopping.is_valid())
        co_return nb::none();
    stopping.attr(names::stop_debugging)();
    co_await send_message(self, make_message({{names::type, nb::str("debug_terminated")},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    // A debug run started while the reply was being sent keeps its debugger.
    KernelState &state = kernel_state(self);
    if (state.debugger.is(stopping))
        state.debugger = nb::none();
    co_return nb::none();
}

// The expression is user code: it runs on a pool thread, never on the loop.
Coro on_debug_evaluate(nb::object self, nb::object message) {
    nb::object expression = get(message, names::expression, nb::str(""));
    nb::object request_id = get(message, names::request_id);
    nb::dict reply = make_message({{names::type, nb::str("debug_evaluate_result")},
                                   {names::workbook_id, kernel_state(self).workbook_id},
                                   {names::request_id, request_id},
                                   {names::expression, expression}});
    if (nb::object evaluating = active_debugger(self); evaluating.is_valid()) {
        nb::object result = co_await run_in_worker(kernel_state(self).thread_pool, running_loop(), [evaluating, expression] {
            return evaluating.attr(names::evaluate_expression)(expression);
        });
        if (PyDict_Merge(reply.ptr(), result.ptr(), 1) < 0)
            throw nb::python_error();
    } else {
        reply[names::error] = nb::str("No active debug session");
    }
    co_await send_message(self, reply);
    co_return nb::none();
}

void on_debug_update_breakpoints(nb::handle self, nb::handle message) {
    nb::object breakpoints = get(message, names::breakpoints, nb::list());
    nb::object debugger = active_debugger(self);
    if (!debugger.is_valid()) {
        log().warning("[Kernel] Received debug_update_breakpoints but no active debugger");
        return;
    }
    if (PyList_Check(breakpoints.ptr())) {
        debugger.attr(names::set_breakpoints)(breakpoints);
        log().info("[Kernel] Updated breakpoints during debug session: ", nb::len(breakpoints),
                   " breakpoints");
    } else {
        log().warning("[Kernel] Invalid breakpoints data type: ",
                      nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(breakpoints.ptr()))));
    }
}

// --- responses, registry, hover mode ---

void on_sys_response(nb::handle self, nb::handle message) { route_sys_response(self, message); }

// Building the registry calls repr() of user values: on a pool thread.
Coro on_get_object_registry(nb::object self, nb::object) {
    log().debug("[Kernel] Received get_object_registry request");
    nb::object registry =
        co_await run_in_worker(kernel_state(self).thread_pool, running_loop(), [self] { return get_object_registry(self); });
    co_await send_message(self, make_message({{names::type, nb::str("object_registry_response")},
                                              {names::objects, registry},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    co_return nb::none();
}

Coro on_set_hover_mode(nb::object self, nb::object message) {
    nb::object mode = get(message, names::mode, nb::str("compact"));
    log().debug("[Kernel] Received set_hover_mode: ", mode);
    nb::object lexora = kernel_state(self).lexora;
    if (!truthy(lexora)) {
        log().warning("[Kernel] Lexora not available for hover mode change");
        co_return nb::none();
    }
    lexora.attr(names::set_hover_mode)(mode);
    co_await send_message(self, make_message({{names::type, nb::str("hover_mode_updated")},
                                              {names::mode, mode},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    co_return nb::none();
}

RouteTable *build_routes() {
    auto *table = new RouteTable{
        {"execution_request", immediate(on_execution_request)},
        {"add_path", awaited(on_add_path)},
        {"remove_path", awaited(on_remove_path)},
        {"reset_namespace", awaited(on_reset_namespace)},
        {"reset_path", awaited(on_reset_path)},
        {"set_package_paths", awaited(handle_set_package_paths)},
        {"set_python_paths", awaited(handle_set_python_paths)},
        {"unload_and_clear_paths", awaited(handle_unload_and_clear_paths)},
        {"update_module", awaited(on_update_module)},
        {"delete_module", awaited(on_delete_module)},
        {"completion_request", immediate(start_handler<completion_request_coroutine>)},
        {"signature_help_request", immediate(start_handler<signature_help_request_coroutine>)},
        {"hover_request", immediate(start_handler<hover_request_coroutine>)},
        {"diagnostic_request", immediate(start_handler<diagnostic_request_coroutine>)},
        {"shutdown", awaited(on_shutdown)},
        {"custom_function_call",
         immediate(start_directly<submit_custom_function_call, custom_function_call_log>)},
        {"run_module", immediate(start_handler<run_module_coroutine, run_module_log>)},
        {"event_execution", immediate(start_directly<submit_event_execution, event_execution_log>)},
        {"python_function_call",
         immediate(start_directly<submit_python_function_call, python_function_call_log>)},
        {"execute_streaming_function", immediate(on_execute_streaming_function)},
        {"cancel_streaming_function", immediate(on_cancel_streaming_function)},
        {"interrupt_request", immediate(on_interrupt_request)},
        {"debug_continue", awaited(on_debug_continue)},
        {"debug_step_over", immediate(on_debug_step<&names::step_over>)},
        {"debug_step_into", immediate(on_debug_step<&names::step_into>)},
        {"debug_step_out", immediate(on_debug_step<&names::step_out>)},
        {"debug_stop", awaited(on_debug_stop)},
        {"debug_evaluate", immediate(start_as_task<on_debug_evaluate>)},
        {"debug_update_breakpoints", immediate(on_debug_update_breakpoints)},
        {"sys_response", immediate(on_sys_response)},
        {"get_object_registry", immediate(start_as_task<on_get_object_registry>)},
        {"set_hover_mode", awaited(on_set_hover_mode)},
    };
    return table;
}

}  // namespace

nb::object dispatch(nb::handle self, nb::handle message) {
    require_dict(message, "message");
    nb::object message_type = get(message, names::type);
    nb::object request_id = get(message, names::request_id, nb::str("N/A"));

    if (message_type.equal(module_global(names::CHUNK_HEADER_TYPE))) {
        nb::object reassembled = handle_chunk(self, message);
        if (reassembled.is_none())
            return nb::none();
        return dispatch(self, reassembled);
    }
    log().debug("[TIMING] Message received: type=", message_type, ", request_id=", request_id);
    log().debug("[Kernel] [Listener Thread] Received message type: ", message_type);

    if (!PyUnicode_Check(message_type.ptr()))
        return nb::none();
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(message_type.ptr(), &size);
    if (!text) {
        PyErr_Clear();  // not encodable, so not one of ours
        return nb::none();
    }
    auto route = routes->find(std::string_view(text, static_cast<size_t>(size)));
    if (route == routes->end())
        return nb::none();  // unknown types are ignored
    if (route->second.immediate) {
        route->second.immediate(self, message);
        return nb::none();
    }
    return route->second.awaited(nb::borrow(self), nb::borrow(message)).object();
}

namespace {

// The awaited part of a handling, its failure refused.
Coro finish_handling(nb::object self, nb::object message, nb::object step) {
    nb::object failure;
    try {
        co_await step;
    } catch (...) {
        failure = catch_exception();  // cancellation passes through
    }
    if (failure.is_valid())
        co_await refuse(self, message, failure);
    co_return nb::none();
}

// handle_message: the receive loop's way in, as a coroutine.
Coro handle_message(nb::object self, nb::object message) {
    nb::object step = handle_incoming(self, message);
    if (!step.is_none())
        co_await step;
    co_return nb::none();
}

}  // namespace

nb::object handle_incoming(nb::handle self, nb::handle message) {
    nb::object step;
    try {
        step = dispatch(self, message);
    } catch (...) {
        return refuse(nb::borrow(self), nb::borrow(message), catch_exception()).object();
    }
    if (step.is_none())
        return step;
    return finish_handling(nb::borrow(self), nb::borrow(message), std::move(step)).object();
}

void define_dispatcher(ClassBuilder &cls) {
    routes = build_routes();
    cls.method(
           "handle_message",
           [](nb::object self, nb::object message) {
               return handle_message(std::move(self), std::move(message))
                   .named("handle_message", "PythonKernel.handle_message");
           },
           nb::arg("message").none());
}

}  // namespace tarvex::kernel
