// handle_message: one incoming message at a time, on the event loop. Cheap
// requests are answered inline; anything that runs user code becomes a task
// so that the receive loop keeps reading (sys_response above all, which
// blocked workers wait for).
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/args.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/chunking.hpp"

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

// Handlers that wait for a pool thread run as tasks, so that the receive
// loop keeps reading (the pool's workers may be waiting for sys_responses).
template <AwaitedHandler handler>
void start_as_task(nb::handle self, nb::handle message) {
    start_task(self, message, handler(nb::borrow(self), nb::borrow(message)).object());
}

// A handler that makes the coroutine of one message (handlers.hpp), or
// hands the message to the pool.
using MessageHandler = nb::object (*)(nb::handle self, nb::handle message);

// Starts `handler`'s coroutine for the message as a task, after the log line
// `Log`, if any. The editor's requests are started in arrival order, and
// each hands its analysis to the one analysis thread in its first step, so
// they are analysed and answered in that order.
template <MessageHandler handler, const char *Log = nullptr>
void start_handler(nb::handle self, nb::handle message) {
    if constexpr (Log != nullptr)
        log().info(Log);
    start_task(self, message, handler(self, message));
}

// Hands a request to the pool, after the log line `Log`: no task waits for
// its run.
template <MessageHandler submit, const char *Log>
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

Coro on_shutdown(nb::object self, nb::object) {
    co_await disconnect(self);
    co_return nb::none();
}

RouteTable *build_routes() {
    auto *table = new RouteTable{
        {"execution_request", immediate(on_execution_request)},
        {"add_path", awaited(on_add_path)},
        {"remove_path", awaited(on_remove_path)},
        {"reset_namespace", awaited(on_reset_namespace)},
        {"reset_path", awaited(on_reset_path)},
        {"set_package_paths", awaited(on_set_package_paths)},
        {"set_python_paths", awaited(on_set_python_paths)},
        {"unload_and_clear_paths", awaited(on_unload_and_clear_paths)},
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
        {"execute_streaming_function", immediate(start_handler<execute_streaming_function_coroutine>)},
        {"cancel_streaming_function", immediate(on_cancel_streaming_function)},
        {"interrupt_request", immediate(on_interrupt_request)},
        {"debug_continue", awaited(on_debug_continue)},
        {"debug_step_over", immediate(on_debug_step_over)},
        {"debug_step_into", immediate(on_debug_step_into)},
        {"debug_step_out", immediate(on_debug_step_out)},
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
