// Synchronous requests from worker threads. A worker that needs Excel sends
// a sys_request through the event loop and blocks on its own threading.Event;
// the listener stores the sys_response and sets the event. The waiter is
// registered before the request leaves, so a fast answer cannot be missed.
// A send that fails wakes the waiter at once with its error. Releases of
// proxies (DEL) are sent without waiting, from any thread: their answers are
// dropped on arrival.
#include <nanobind/stl/string.h>

#include "common/args.hpp"
#include "common/held_lock.hpp"
#include "common/uuid4.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/failures.hpp"
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

// How a request's write ended: a write that failed wakes the waiter at once
// with its error in `failure`, since no answer can come.
OnWritten send_failure_watcher(nb::object event, nb::list failure) {
    return [event, failure](PyObject *error) {
        if (!error)
            return;
        if (PyList_Append(failure.ptr(), error) < 0)
            throw nb::python_error();
        event.attr(names::set)();
    };
}

nb::object send_sys_request(nb::handle kernel, nb::object payload, nb::object timeout) {
    require_dict(payload, "payload");
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

    nb::object event = nb::handle(refs.threading_Event)();
    nb::object lock = kernel.attr(names::_response_lock);
    {
        // Checked under the lock that disconnect takes to wake the waiters,
        // so a request is either woken by it or refused here.
        HeldLock held(lock);
        if (!truthy(kernel.attr(names::running)))
            raise_connection_closed();
        kernel.attr(names::_response_futures)[request_id] = event;
    }
    nb::list send_failure;
    try {
        post_message(kernel, make_message({{names::type, nb::str("sys_request")}, {names::payload, payload}}),
                     send_failure_watcher(event, send_failure));
    } catch (...) {
        HeldLock held(lock);
        kernel.attr(names::_response_futures).attr("pop")(request_id, nb::none());
        throw;
    }
    log().debug(prefix, "Waiting for sys_response: ", request_id);

    bool signalled = truthy(event.attr(names::wait)(nb::arg("timeout") = timeout));
    nb::object response;
    if (signalled) {
        {
            HeldLock held(lock);
            response = kernel.attr(names::_response_data).attr("pop")(request_id, nb::none());
            kernel.attr(names::_response_futures).attr("pop")(request_id, nb::none());
        }
        if (response.is_none() && PyList_GET_SIZE(send_failure.ptr()) > 0) {
            nb::object error = send_failure[0];
            log().warning(prefix, "sys_request could not be sent: ", request_id);
            PyErr_SetRaisedException(error.release().ptr());
            throw nb::python_error();
        }
        log().debug(prefix, "Received sys_response: ", request_id);
        if (response.is_none() && !truthy(kernel.attr(names::running))) {
            log().warning(prefix, "sys_request abandoned, the connection closed: ", request_id);
            raise_connection_closed();
        }
        if (response.is_none()) {
            std::string text = concat("sys_response data missing for request_id: ", request_id);
            log().error("[Kernel] ", text);
            PyErr_SetString(PyExc_RuntimeError, text.c_str());
            throw nb::python_error();
        }
        return response;
    }
    {
        HeldLock held(lock);
        kernel.attr(names::_response_futures).attr("pop")(request_id, nb::none());
        kernel.attr(names::_response_data).attr("pop")(request_id, nb::none());
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
void remember_release(nb::handle kernel, nb::handle request_id) {
    nb::object ids = kernel.attr(names::_release_ids);
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
    if (!truthy(kernel.attr(names::running)))
        return;
    remember_release(kernel, get(payload, names::requestId));
    post_message(kernel, make_message({{names::type, nb::str("sys_request")}, {names::payload, payload}}));
}

bool is_release(nb::handle request) {
    nb::object method = get(request, names::method);
    return PyUnicode_CheckExact(method.ptr()) && PyUnicode_Compare(method.ptr(), names::DEL) == 0;
}

}  // namespace

nb::object make_send_stream_message(nb::handle self) {
    nb::object kernel = nb::borrow(self);
    return nb::cpp_function(
        [kernel](nb::object stream_type, nb::object content) {
            require_str(stream_type, "stream_type");
            require_str(content, "content");
            try {
                nb::dict message = make_message({{names::type, stream_type},
                                                 {names::content, content},
                                                 {names::workbook_id, kernel.attr(names::workbook_id)}});
                post_message(kernel, message);
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
            nb::object request = nb::steal(PyDict_Copy(req.ptr()));
            if (!request.is_valid())
                throw nb::python_error();
            request[names::requestId] = uuid4_hex();
            request[names::kind] = nb::str("request");
            if (is_release(request)) {
                send_release(kernel, request);
                return nb::none();
            }
            return send(request, nb::arg("timeout") = timeout);
        },
        nb::name("new_send_request_sync"), nb::arg("req").none(), nb::arg("timeout").none() = 30.0);
}

void forget_oldest_orphans(nb::handle data, nb::handle futures);

void route_sys_response(nb::handle self, nb::handle message) {
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
    if (PyUnicode_CheckExact(request_id.ptr())) {
        int released = PyDict_Pop(self.attr(names::_release_ids).ptr(), request_id.ptr(), nullptr);
        if (released < 0)
            throw nb::python_error();
        if (released) {
            log().debug("[Kernel] Answer to a release dropped: ", request_id);
            return;
        }
    }
    HeldLock held(self.attr(names::_response_lock));
    nb::object data = self.attr(names::_response_data);
    nb::object futures = self.attr(names::_response_futures);
    nb::object event = get(futures, request_id.ptr());
    // A second answer arriving before the worker took the first must not
    // replace it: the request was answered once, by the first.
    if (!event.is_none() && PyDict_Contains(data.ptr(), request_id.ptr()) == 1) {
        log().warning("[Kernel] Received a second sys_response for request_id: ", request_id, "; ignored");
        return;
    }
    data[request_id] = payload;
    if (!event.is_none()) {
        event.attr(names::set)();
        log().debug("[Kernel] [Listener Thread] Worker unblocked for request_id: ", request_id);
    } else {
        log().warning("[Kernel] Received sys_response for unknown request_id: ", request_id);
        forget_oldest_orphans(data, futures);
    }
}

// Responses nobody waits for (unknown ids, answers after a timeout, second
// answers) are kept as they arrive, but only the newest MAX_ORPHAN_RESPONSES.
void forget_oldest_orphans(nb::handle data, nb::handle futures) {
    Py_ssize_t limit = module_size_constant(names::MAX_ORPHAN_RESPONSES);
    if (PyDict_GET_SIZE(data.ptr()) <= limit)
        return;
    nb::list ids = nb::steal<nb::list>(PyDict_Keys(data.ptr()));
    if (!ids.is_valid())
        throw nb::python_error();
    Py_ssize_t dropped = 0;
    for (nb::handle id : ids) {
        if (PyDict_GET_SIZE(data.ptr()) <= limit)
            break;
        if (PyDict_Contains(futures.ptr(), id.ptr()) == 1)
            continue;  // a worker is about to take it
        if (PyDict_DelItem(data.ptr(), id.ptr()) < 0)
            throw nb::python_error();
        ++dropped;
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    log().warning("[Kernel] Dropped ", dropped, " sys_responses nobody waits for (at most ", limit,
                  " are kept)");
}

void wake_sys_request_waiters(nb::handle self) {
    HeldLock held(self.attr(names::_response_lock));
    nb::object events = nb::steal(PyDict_Values(self.attr(names::_response_futures).ptr()));
    if (!events.is_valid())
        throw nb::python_error();
    for (nb::handle event : events) event.attr(names::set)();
}

}  // namespace tarvex::kernel
