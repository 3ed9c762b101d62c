// Connection lifecycle: connect, the receive loop, run, disconnect, main.
// There is no reconnect: when the connection ends, run returns.
#include "common/args.hpp"
#include "kernel/execution/output_routing.hpp"
#include "kernel/execution/stream_classes.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/json_dumps.hpp"
#include "kernel/transport/outbox.hpp"

namespace tarvex::kernel {

namespace {

nb::object user_package() { return module_global(names::tarvex); }

nb::object websockets() { return module_global(names::websockets); }

// The client library refuses frames above its own limit by closing the
// connection. Its limit counts bytes, ours characters (up to four bytes each
// in UTF-8), so it is set high enough for every frame our own check should
// see: an oversized frame is answered with "Message too large" instead of
// ending the kernel.
nb::object library_frame_limit() {
    return nb::int_(4 * module_size_constant(names::MAX_MESSAGE_SIZE) + 1024);
}

Coro connect(nb::object self) {
    KernelState &state = kernel_state(self);
    nb::object ws_url = state.server_url + nb::str("/ws/kernel/") + state.workbook_id;
    // No per-message compression: the Business Layer is on this machine,
    // where deflating a long reply costs far more than sending it.
    nb::object websocket = co_await websockets().attr("connect")(
        ws_url, nb::arg("max_size") = library_frame_limit(), nb::arg("compression") = nb::none());
    state.websocket = websocket;
    state.running = true;
    nb::object loop = nb::handle(refs.get_running_loop)();
    state.loop = loop;
    state.socket_lock = nb::handle(refs.asyncio_Lock)();
    open_outbox(self, loop);

    nb::object package = user_package();
    nb::object messaging = package.attr(names::messaging);
    messaging.attr(names::loop) = loop;
    messaging.attr(names::loop_thread) = nb::handle(refs.current_thread)();
    package.attr(names::_kernel_instance) = self;

    nb::object batcher = module_global(names::MessageBatcher)(self);
    state.batcher = batcher;
    co_await batcher.attr(names::start)();

    nb::object send_stream_message = make_send_stream_message(self);
    nb::object send_sys_request = make_send_sys_request(self);
    nb::object new_send_request_sync = make_new_send_request_sync(self, send_sys_request);

    // From here on every write to the process streams, from any thread
    // outside a request, becomes a stream message.
    nb::object stdout_hook = new_kernel_stream_hook("stdout", send_stream_message);
    nb::object stderr_hook = new_kernel_stream_hook("stderr", send_stream_message);
    output::install_process_streams(stdout_hook, stderr_hook);

    messaging.attr(names::send_request_sync) = new_send_request_sync;
    co_return nb::none();
}

// Reads frames one at a time; long work is started as tasks by the
// dispatcher, so the next frame is read as soon as dispatch returns.
Coro listen(nb::object self) {
    nb::object closed_error = websockets().attr("ConnectionClosed");
    try {
        nb::object frames = aiter(kernel_state(self).websocket);
        while (auto frame = co_await anext(frames)) {
            Py_ssize_t length = nb::len(*frame);
            if (length > module_size_constant(names::MAX_MESSAGE_SIZE)) {
                log().warning("Message too large: ", length, " bytes");
                co_await send_message(self, make_message({{names::type, nb::str("error")},
                                                          {names::message, nb::str("Message too large")}}));
                continue;
            }
            nb::object data;
            try {
                data = json_loads(*frame);
            } catch (...) {
                // Not only JSONDecodeError: nesting too deep for the parser
                // raises RecursionError, and is no more readable.
                nb::object unreadable = catch_exception();
                if (!PyErr_GivenExceptionMatches(unreadable.ptr(), refs.JSONDecodeError))
                    log().warning("[Kernel] Unreadable frame: ", type_name_of(unreadable), ": ",
                                  nb::str(unreadable));
            }
            if (!data.is_valid()) {
                co_await send_message(self,
                                      make_message({{names::type, nb::str("error")},
                                                    {names::message, nb::str("Invalid JSON received")}}));
                continue;
            }
            nb::object step = handle_incoming(self, data);
            if (!step.is_none())
                co_await step;
        }
    } catch (nb::python_error &e) {
        if (!e.matches(closed_error.ptr()))
            throw;
        kernel_state(self).running = false;
    }
    co_return nb::none();
}

Coro disconnect_impl(nb::object self) {
    KernelState &state = kernel_state(self);
    state.running = false;
    // Workers waiting for a sys_response fail at once instead of timing out.
    state.sys_requests.cancel_all();
    nb::object batcher = state.batcher;
    if (!batcher.is_none())
        co_await batcher.attr(names::stop)();

    nb::object package = user_package();
    package.attr(names::messaging).attr(names::reset)();
    package.attr(names::_kernel_instance) = nb::none();

    output::install_process_streams(state.original_stdout, state.original_stderr);

    nb::object websocket = state.websocket;
    if (truthy(websocket))
        co_await websocket.attr(names::close)();
    if (Outbox *box = state.outbox())
        box->close();
    // Running user code is neither waited for nor interrupted; work that has
    // not started yet never will (queued analyses have nobody to answer).
    for (const nb::object &pool : {state.thread_pool, state.ide_pool, state.stream_pool, state.analysis_pool})
        pool.attr(names::shutdown)(nb::arg("wait") = false, nb::arg("cancel_futures") = true);
    co_return nb::none();
}

Coro run(nb::object self) {
    std::exception_ptr escaping;
    try {
        co_await connect(self);
        log().info("Kernel connected for workbook: ", kernel_state(self).workbook_id);
        co_await listen(self);
    } catch (...) {
        try {
            nb::object e = catch_exception();
            log().error("Kernel error: ", nb::str(e));
        } catch (...) {
            escaping = std::current_exception();  // cancellation and the like: clean up, then pass on
        }
    }
    co_await disconnect(self);
    log().info("Kernel disconnected for workbook: ", kernel_state(self).workbook_id);
    if (escaping)
        std::rethrow_exception(escaping);
    co_return nb::none();
}

Coro main_coroutine(nb::object workbook_id, nb::object port) {
    nb::object kernel = module_global(names::PythonKernel)(workbook_id, nb::arg("port") = port);
    co_await kernel.attr("run")();
    co_return nb::none();
}

}  // namespace

Coro disconnect(nb::object self) { return disconnect_impl(std::move(self)); }

void define_lifecycle(ClassBuilder &cls) {
    cls.method(
           "connect",
           [](nb::object self) { return connect(std::move(self)).named("connect", "PythonKernel.connect"); })
        .method(
            "listen",
            [](nb::object self) { return listen(std::move(self)).named("listen", "PythonKernel.listen"); })
        .method("run", [](nb::object self) { return run(std::move(self)).named("run", "PythonKernel.run"); })
        .method("disconnect", [](nb::object self) {
            return disconnect_impl(std::move(self)).named("disconnect", "PythonKernel.disconnect");
        });
}

void define_main(nb::module_ &m) {
    m.def(
        "main",
        [](nb::object workbook_id, nb::object port) {
            require_str(workbook_id, "workbook_id");
            require_str(port, "port");
            return main_coroutine(std::move(workbook_id), std::move(port)).named("main", "main");
        },
        nb::arg("workbook_id").none(), nb::arg("port").none());
}

}  // namespace tarvex::kernel
