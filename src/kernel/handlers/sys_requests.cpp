// Synchronous requests from worker threads. A worker that needs Excel sends
// a sys_request through the event loop and blocks until the listener hands
// it the sys_response; the waiters are the kernel's PendingRequests
// (_response_futures under _response_lock). The waiter is registered before
// the request leaves, so a fast answer cannot be missed. A send that fails
// wakes the waiter at once with its error. Releases of proxies (DEL) are
// sent without waiting, from any thread: their answers are dropped on
// arrival.
#include <nanobind/stl/string.h>

#include <limits>

#include "common/args.hpp"
#include "common/bridge_requests.hpp"
#include "common/held_lock.hpp"
#include "common/pending_requests.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/interrupts.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"

namespace tarvex::kernel {

namespace {

std::string worker_prefix(nb::handle thread_name) {
    return concat("[Kernel] [Worker Thread ", thread_name, "] ");
}

nb::object messaging() { return module_global(names::tarvex).attr(names::messaging); }

const char *const connection_closed_text = "Connection to the Business Layer closed";

[[noreturn]] void raise_connection_closed() {
    PyErr_SetString(PyExc_ConnectionError, connection_closed_text);
    throw nb::python_error();
}

// How a request's write ended: a write that failed fails the waiter at
// once, since no answer can come.
OnWritten send_failure_watcher(PendingRequests requests, nb::object request_id) {
    return [requests, request_id](PyObject *error) {
        if (!error)
            return;
        nb::object waiter = requests.claim(request_id);
        if (waiter.is_valid())
            PendingRequests::reject(waiter, nb::handle(error));
    };
}

// A timeout of None waits for good.
double timeout_seconds(nb::handle timeout) {
    if (timeout.is_none())
        return std::numeric_limits<double>::infinity();
    double seconds = PyFloat_AsDouble(timeout.ptr());
    if (seconds == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return seconds;
}

nb::object send_sys_request(nb::handle kernel, nb::object payload, nb::object timeout) {
    require_dict(payload, "payload");
    InterruptsHeldOff held_off;  // an interrupt ends the wait below, and only that
    double seconds = timeout_seconds(timeout);
    nb::object request_id = get(payload, names::requestId);
    nb::object thread = nb::handle(refs.current_thread)();
    nb::object thread_name = thread.attr(names::name);

    nb::object loop_thread = messaging().attr(names::loop_thread);
    if (!loop_thread.is_none() && thread.equal(loop_thread)) {
        PyErr_SetString(
            PyExc_RuntimeError,
            "send_sys_request must not be called from the async event loop thread to avoid deadlock");
        throw nb::python_error();
    }
    std::string prefix = worker_prefix(thread_name);
    log().debug(prefix, "Sending sys_request: ", request_id);

    KernelState &state = kernel_state(kernel);
    PendingRequests requests = state.sys_requests;
    PendingRequests::Waiter waiter = requests.expect(request_id);
    // Disconnect clears `running` before it cancels the waiters: a request
    // registered before that is cancelled by it, a later one is refused here.
    if (!state.running) {
        requests.forget(request_id);
        raise_connection_closed();
    }
    try {
        post_message(kernel, make_message({{names::type, nb::str("sys_request")}, {names::payload, payload}}),
                     send_failure_watcher(requests, request_id));
    } catch (...) {
        requests.forget(request_id);
        throw;
    }
    log().debug(prefix, "Waiting for sys_response: ", request_id);

    std::optional<nb::object> response;
    InterruptibleWait interruptible([signal = waiter.signal] { signal->fire(); });
    try {
        response = requests.wait(request_id, waiter, seconds);
        if (!response)
            interruptible.raise_if_interrupted();
    } catch (nb::python_error &e) {
        if (PendingRequests::is_cancellation(e)) {
            log().warning(prefix, "sys_request abandoned, the connection closed: ", request_id);
            raise_connection_closed();
        }
        if (e.matches(PyExc_Exception))
            log().warning(prefix, "sys_request could not be sent: ", request_id);
        throw;
    }
    if (response) {
        log().debug(prefix, "Received sys_response: ", request_id);
        return *response;
    }
    log().error(prefix, "sys_request timeout: ", request_id);
    std::string text = concat("sys_request timeout after ", timeout, "s: ", request_id);
    PyErr_SetString(PyExc_TimeoutError, text.c_str());
    throw nb::python_error();
}

// Ids of releases whose answers are still to come, oldest first. Past
// MAX_PENDING_RELEASES the oldest quarter is forgotten (their answers, if
// they ever come, are then treated as unknown). Each step is one dict
// operation and no kernel lock is taken: a release may start on any thread
// at any moment, even from a collection that runs finalizers while this
// thread holds _response_lock.
void remember_release(KernelState &state, nb::handle request_id) {
    nb::object ids = state.release_ids;
    if (PyDict_SetItem(ids.ptr(), request_id.ptr(), Py_None) < 0)
        throw nb::python_error();
    Py_ssize_t limit = module_size_constant(names::MAX_PENDING_RELEASES);
    Py_ssize_t size = PyDict_GET_SIZE(ids.ptr());
    if (size <= limit)
        return;
    Py_ssize_t excess = size - limit + limit / 4;
    nb::object oldest = nb::steal(PyDict_Keys(ids.ptr()));
    if (!oldest.is_valid())
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < excess && i < PyList_GET_SIZE(oldest.ptr()); ++i)
        if (PyDict_Pop(ids.ptr(), PyList_GET_ITEM(oldest.ptr(), i), nullptr) < 0)
            throw nb::python_error();
    log().debug("[Kernel] Forgot ", excess, " releases never answered (at most ", limit, " are kept)");
}

// A release is sent and not waited for, so it may come from any thread,
// the event loop's included (a proxy dropped there). On a closed
// connection there is nothing left to release.
void send_release(nb::handle kernel, nb::object payload) {
    KernelState &state = kernel_state(kernel);
    if (!state.running)
        return;
    remember_release(state, get(payload, names::requestId));
    post_message(kernel, make_message({{names::type, nb::str("sys_request")}, {names::payload, payload}}));
}

}  // namespace

nb::object make_send_stream_message(nb::handle self) {
    nb::object kernel = nb::borrow(self);
    auto envelope = OutputEnvelope::outside_requests(kernel_state(kernel).workbook_id);
    return nb::cpp_function(
        [kernel, envelope](nb::object stream_type, nb::object content) {
            require_str(stream_type, "stream_type");
            require_str(content, "content");
            try {
                if (PyUnicode_Compare(stream_type.ptr(), names::stdout_) == 0 ||
                    PyUnicode_Compare(stream_type.ptr(), names::stderr_) == 0) {
                    OutputStream stream = PyUnicode_Compare(stream_type.ptr(), names::stdout_) == 0
                                              ? OutputStream::out
                                              : OutputStream::err;
                    post_output(kernel, envelope, stream, content);
                } else {
                    // Some other stream a caller named: a message of its own.
                    post_message(kernel,
                                 make_message({{names::type, stream_type},
                                               {names::content, content},
                                               {names::workbook_id, kernel_state(kernel).workbook_id}}));
                }
            } catch (...) {
                nb::object e = catch_exception();
                log().debug("[Kernel] ", stream_type, " streaming error: ", nb::str(e));
            }
        },
        nb::name("send_stream_message"), nb::arg("stream_type").none(), nb::arg("content").none());
}

nb::object make_send_sys_request(nb::handle self) {
    nb::object kernel = nb::borrow(self);
    return nb::cpp_function(
        [kernel](nb::object payload, nb::object timeout) {
            return send_sys_request(kernel, payload, timeout);
        },
        nb::name("send_sys_request"), nb::arg("payload").none(), nb::arg("timeout").none() = 30.0);
}

nb::object make_new_send_request_sync(nb::handle self, nb::handle send_sys_request_function) {
    nb::object kernel = nb::borrow(self);
    nb::object send = nb::borrow(send_sys_request_function);
    return nb::cpp_function(
        [kernel, send](nb::object req, nb::object timeout) -> nb::object {
            require_dict(req, "req");
            nb::dict request = request_message(req);
            if (is_release(request)) {
                send_release(kernel, request);
                return nb::none();
            }
            return send(request, nb::arg("timeout") = timeout);
        },
        nb::name("new_send_request_sync"), nb::arg("req").none(), nb::arg("timeout").none() = 30.0);
}

// Responses nobody waits for (unknown ids, answers after a timeout, second
// answers) are kept as they arrive, but only the newest MAX_ORPHAN_RESPONSES.
void keep_orphan(KernelState &state, nb::handle request_id, nb::handle payload) {
    HeldLock held(state.sys_requests.lock());
    nb::object data = state.orphan_responses;
    data[request_id] = payload;
    Py_ssize_t limit = module_size_constant(names::MAX_ORPHAN_RESPONSES);
    Py_ssize_t excess = PyDict_GET_SIZE(data.ptr()) - limit;
    if (excess <= 0)
        return;
    nb::list ids = nb::steal<nb::list>(PyDict_Keys(data.ptr()));
    if (!ids.is_valid())
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < excess; ++i)
        if (PyDict_DelItem(data.ptr(), PyList_GET_ITEM(ids.ptr(), i)) < 0)
            throw nb::python_error();
    log().warning("[Kernel] Dropped ", excess, " sys_responses nobody waits for (at most ", limit,
                  " are kept)");
}

void on_sys_response(nb::handle self, nb::handle message) {
    nb::object payload = get(message, names::payload);
    if (!truthy(payload))
        payload = nb::borrow(message);
    nb::object request_id = get(payload, names::requestId);
    log().debug("[Kernel] [Listener Thread] Received sys_response for request_id: ", request_id,
                ", unblocking worker");
    if (!truthy(request_id)) {
        log().warning("[Kernel] Received sys_response without requestId");
        return;
    }
    KernelState &state = kernel_state(self);
    if (PyUnicode_CheckExact(request_id.ptr())) {
        int released = PyDict_Pop(state.release_ids.ptr(), request_id.ptr(), nullptr);
        if (released < 0)
            throw nb::python_error();
        if (released) {
            log().debug("[Kernel] Answer to a release dropped: ", request_id);
            return;
        }
    }
    nb::object waiter = state.sys_requests.claim(request_id);
    if (!waiter.is_valid()) {
        log().warning("[Kernel] Received sys_response for unknown request_id: ", request_id);
        keep_orphan(state, request_id, payload);
        return;
    }
    PendingRequests::resolve(waiter, payload);
    log().debug("[Kernel] [Listener Thread] Worker unblocked for request_id: ", request_id);
}

}  // namespace tarvex::kernel
