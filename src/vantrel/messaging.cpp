// Messaging: the request/response channel of the bridge and the registry of
// Python callables handed to the add-in. Its state lives in ordinary
// instance attributes so that hosts can read and replace them (the kernel
// installs its own send_request_sync, loop and loop_thread).
#include "vantrel/messaging.hpp"

#include "common/args.hpp"
#include "common/held_lock.hpp"
#include "common/uuid4.hpp"
#include "vantrel/refs.hpp"
#include "vantrel/response.hpp"
#include "vantrel/response_signal.hpp"

namespace vantrel {

using tarvex::HeldLock;
using tarvex::uuid4_hex;

namespace {

constexpr const char *kTimeoutText = "Timed out waiting for Office.js response";

const char *const kMessagingDoc =
    "Request/response channel to the Office.js add-in and registry of Python callables.\n"
    "\n"
    "Threading: the waiters table is protected by _waiters_lock and the callable\n"
    "registry by _callable_lock. send_request_sync() may be called from worker\n"
    "threads and blocks on a concurrent.futures.Future until its response arrives\n"
    "(a release, method DEL, is sent without waiting and returns None);\n"
    "on_message() may be called from the listener thread to resolve pending futures.";

nb::object attr(nb::handle self, PyObject *name) { return checked(PyObject_GetAttr(self.ptr(), name)); }
void set_attr(nb::handle self, PyObject *name, nb::handle value) {
    check(PyObject_SetAttr(self.ptr(), name, value.ptr()));
}

void map_set(nb::handle map, nb::handle key, nb::handle value) {
    check(PyDict_CheckExact(map.ptr()) ? PyDict_SetItem(map.ptr(), key.ptr(), value.ptr())
                                       : PyObject_SetItem(map.ptr(), key.ptr(), value.ptr()));
}

// map.pop(key, None)
nb::object map_pop(nb::handle map, nb::handle key) {
    if (PyDict_CheckExact(map.ptr())) {
        PyObject *value = nullptr;
        check(PyDict_Pop(map.ptr(), key.ptr(), &value));
        return value ? nb::steal(value) : nb::none();
    }
    return map.attr(names.pop)(key, nb::none());
}

void forget_waiter(nb::handle self, nb::handle request_id) {
    HeldLock held(attr(self, names._waiters_lock));
    map_pop(attr(self, names.waiters), request_id);
}

[[noreturn]] void raise_timeout(PyObject *context) {
    PyErr_SetString(PyExc_TimeoutError, kTimeoutText);
    if (context) {
        PyObject *exc = PyErr_GetRaisedException();
        PyException_SetContext(exc, Py_NewRef(context));
        PyErr_SetRaisedException(exc);
    }
    throw nb::python_error();
}

void messaging_init(nb::handle self) {
    set_attr(self, names.waiters, checked(PyDict_New()));
    set_attr(self, names._waiters_lock, checked(PyObject_CallNoArgs(refs.lock_factory)));
    set_attr(self, names._guid, uuid4_hex());
    set_attr(self, names._send_handler, nb::none());
    set_attr(self, names.loop, nb::none());
    set_attr(self, names.loop_thread, nb::none());
    set_attr(self, names._callable_registry, checked(PyDict_New()));
    set_attr(self, names._callable_lock, checked(PyObject_CallNoArgs(refs.lock_factory)));
    set_attr(self, names._next_callable_id, nb::int_(1));
}

bool is_release(nb::handle request) {
    nb::object method = get(request, names.method);
    return PyUnicode_CheckExact(method.ptr()) && PyUnicode_Compare(method.ptr(), names.DEL) == 0;
}

void set_send_handler(nb::handle self, nb::handle handler) { set_attr(self, names._send_handler, handler); }

nb::object send_request_sync(nb::handle self, nb::handle req, nb::handle timeout) {
    tarvex::require_dict(req, "req");
    const double seconds = PyFloat_AS_DOUBLE(checked(PyNumber_Float(timeout.ptr())).ptr());
    if (!truthy(attr(self, names._send_handler)))
        raise_text(PyExc_RuntimeError, "No send handler registered");

    nb::object request_id = uuid4_hex();
    nb::object message = checked(PyDict_Copy(req.ptr()));
    check(PyDict_SetItem(message.ptr(), names.requestId, request_id.ptr()));
    check(PyDict_SetItem(message.ptr(), names.kind, names.request));

    // A release's answer is never read: it is sent without a waiter, and
    // on_message drops its answer as it drops any unknown id.
    if (is_release(message)) {
        checked(PyObject_CallOneArg(attr(self, names._send_handler).ptr(), message.ptr()));
        return nb::none();
    }

    nb::object future = checked(PyObject_CallNoArgs(refs.future_type));
    ResponseSignal *signal = nullptr;
    nb::object signal_obj = new_response_signal(signal);
    checked(PyObject_CallMethodOneArg(future.ptr(), names.add_done_callback, signal_obj.ptr()));
    {
        HeldLock held(attr(self, names._waiters_lock));
        map_set(attr(self, names.waiters), request_id, future);
    }

    bool fired;
    try {
        nb::object handler = attr(self, names._send_handler);
        checked(PyObject_CallOneArg(handler.ptr(), message.ptr()));
        fired = signal->wait(seconds);
    } catch (nb::python_error &e) {
        forget_waiter(self, request_id);
        if (e.matches(PyExc_TimeoutError))
            raise_timeout(e.value().ptr());
        throw;
    }
    if (!fired) {
        forget_waiter(self, request_id);
        raise_timeout(nullptr);
    }

    // The future is done: answered, failed, or cancelled by reset().
    if (truthy(future.attr(names.cancelled)())) {
        forget_waiter(self, request_id);
        PyErr_SetNone(refs.cancelled_error);
        throw nb::python_error();
    }
    nb::object failure = future.attr(names.exception)(0);
    if (!failure.is_none()) {
        forget_waiter(self, request_id);
        if (PyErr_GivenExceptionMatches(failure.ptr(), PyExc_TimeoutError))
            raise_timeout(failure.ptr());
        PyErr_SetRaisedException(failure.release().ptr());
        throw nb::python_error();
    }
    return future.attr(names.result)(0);
}

void on_message(nb::handle self, nb::handle message) {
    tarvex::require_dict(message, "message");
    nb::object request_id = get(message, names.requestId);
    if (!truthy(request_id))
        return;
    nb::object future;
    {
        HeldLock held(attr(self, names._waiters_lock));
        future = map_pop(attr(self, names.waiters), request_id);
    }
    // Unknown ids, late answers (after a time-out) and repeats are dropped.
    if (future.is_none() || truthy(future.attr(names.done)()))
        return;
    try {
        if (truthy(get(message, names.ok))) {
            future.attr(names.set_result)(message);
        } else {
            nb::object text = remote_error_text(message);
            nb::object error = checked(PyObject_CallOneArg(
                PyExc_RuntimeError, text.is_valid() ? text.ptr() : nb::str("Remote error").ptr()));
            future.attr(names.set_exception)(error);
        }
    } catch (nb::python_error &e) {
        // Resolved elsewhere in the meantime: it is left alone.
        if (!e.matches(refs.invalid_state_error))
            throw;
    }
}

void reset(nb::handle self) {
    nb::object pending;
    {
        HeldLock held(attr(self, names._waiters_lock));
        nb::object waiters = attr(self, names.waiters);
        pending = checked(PySequence_List(nb::object(waiters.attr(names.values)()).ptr()));
        waiters.attr(names.clear)();
    }
    // Cancelled once out of the table, outside the lock: cancel() runs the
    // futures' Python code, and anything that code sets off (a finalizer
    // sending a release, say) must be able to take the lock again.
    for (nb::handle future : nb::list(pending)) {
        if (!truthy(future.attr(names.done)()))
            future.attr(names.cancel)();
    }

    nb::object generation = uuid4_hex();
    set_attr(self, names._guid, generation);

    nb::object dropped;  // callables are let go only once the lock is free
    {
        HeldLock held(attr(self, names._callable_lock));
        nb::object registry = attr(self, names._callable_registry);
        dropped = registry.attr(names.copy)();
        registry.attr(names.clear)();
        set_attr(self, names._next_callable_id, nb::int_(1));
    }
    dropped.reset();

    // The root proxies Context and Excel move to the new generation of the
    // module's channel, the one proxies compare with; another channel's
    // reset leaves them alone (it would make them stale for good).
    if (!self.is(module_global(names.messaging)))
        return;
    for (PyObject *root_name : {names.Context, names.Excel}) {
        try {
            nb::object root = module_global(root_name);
            set_attr(root, names._msg_guid, generation);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
        }
    }
}

nb::object register_callable(nb::handle self, nb::handle callable_obj) {
    if (!PyCallable_Check(callable_obj.ptr())) {
        nb::object type_name = checked(PyType_GetName(Py_TYPE(callable_obj.ptr())));
        PyErr_Format(PyExc_TypeError, "Object must be callable, got %U", type_name.ptr());
        throw nb::python_error();
    }
    HeldLock held(attr(self, names._callable_lock));
    nb::object generation = nb::str(attr(self, names._guid));
    nb::object prefix = checked(PyUnicode_Substring(generation.ptr(), 0, 8));
    nb::object serial = attr(self, names._next_callable_id);
    nb::object callable_id = checked(PyUnicode_FromFormat("pyfunc_%U_%S", prefix.ptr(), serial.ptr()));
    set_attr(self, names._next_callable_id, checked(PyNumber_Add(serial.ptr(), nb::int_(1).ptr())));
    map_set(attr(self, names._callable_registry), callable_id, callable_obj);
    return callable_id;
}

nb::object get_callable(nb::handle self, nb::handle callable_id) {
    tarvex::require_str(callable_id, "callable_id");
    HeldLock held(attr(self, names._callable_lock));
    return get(attr(self, names._callable_registry), callable_id.ptr());
}

void unregister_callable(nb::handle self, nb::handle callable_id) {
    tarvex::require_str(callable_id, "callable_id");
    nb::object dropped;
    {
        HeldLock held(attr(self, names._callable_lock));
        dropped = map_pop(attr(self, names._callable_registry), callable_id);
    }
}

template <typename Fn, typename... Extra>
nb::object method(const char *name, Fn fn, const char *doc, const Extra &...extra) {
    return nb::cpp_function(fn, nb::is_method(), nb::name(name), doc, extra...);
}

}  // namespace

void init_messaging(nb::module_ &m) {
    init_response_signal(m);

    nb::dict ns;
    ns["__doc__"] = kMessagingDoc;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "Messaging";
    ns["__init__"] =
        method("__init__", &messaging_init, "A channel without send handler, in a fresh generation.");
    ns["set_send_handler"] =
        method("set_send_handler", &set_send_handler,
               "Installs the callable that delivers each request message.", nb::arg("handler").none());
    ns["send_request_sync"] = method("send_request_sync", &send_request_sync,
                                     "Sends one request and blocks until its response message arrives.",
                                     nb::arg("req").none(), nb::arg("timeout").none() = 30.0);
    ns["on_message"] =
        method("on_message", &on_message, "Delivers one response message to its waiting request.",
               nb::arg("message").none());
    ns["reset"] = method("reset", &reset,
                         "Ends the current generation: cancels pending requests, forgets callables and "
                         "makes existing proxies stale.");
    ns["register_callable"] =
        method("register_callable", &register_callable,
               "Registers a callable for the add-in and returns its new id.", nb::arg("callable_obj").none());
    ns["get_callable"] =
        method("get_callable", &get_callable, "The callable registered under the id, or None.",
               nb::arg("callable_id").none());
    ns["unregister_callable"] =
        method("unregister_callable", &unregister_callable, "Forgets a callable id; unknown ids are ignored.",
               nb::arg("callable_id").none());
    nb::object cls = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))(
        "Messaging", nb::make_tuple(nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns);
    refs.messaging_type = cls.inc_ref().ptr();
    m.attr("Messaging") = cls;
    m.attr("messaging") = cls();
}

}  // namespace vantrel
