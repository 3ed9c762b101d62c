// Messaging: the request/response channel of the bridge and the registry of
// Python callables handed to the add-in. Its state lives in ordinary
// instance attributes so that hosts can read and replace them (the kernel
// installs its own send_request_sync, loop and loop_thread).
#include "vantrel/messaging.hpp"

#include "common/args.hpp"
#include "common/bridge_requests.hpp"
#include "common/held_lock.hpp"
#include "common/pending_requests.hpp"
#include "common/uuid4.hpp"
#include "vantrel/refs.hpp"
#include "vantrel/response.hpp"

namespace vantrel {

using tarvex::HeldLock;
using tarvex::PendingRequests;
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

nb::object attr(nb::handle self, PyObject *name) { return owned(PyObject_GetAttr(self.ptr(), name)); }
void set_attr(nb::handle self, PyObject *name, nb::handle value) {
    check(PyObject_SetAttr(self.ptr(), name, value.ptr()));
}

PendingRequests pending(nb::handle self) {
    return PendingRequests(attr(self, names.waiters), attr(self, names._waiters_lock));
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
    set_attr(self, names.waiters, owned(PyDict_New()));
    set_attr(self, names._waiters_lock, owned(PyObject_CallNoArgs(refs.lock_factory)));
    set_attr(self, names._guid, uuid4_hex());
    set_attr(self, names._send_handler, nb::none());
    set_attr(self, names.loop, nb::none());
    set_attr(self, names.loop_thread, nb::none());
    set_attr(self, names._callable_registry, owned(PyDict_New()));
    set_attr(self, names._callable_lock, owned(PyObject_CallNoArgs(refs.lock_factory)));
    set_attr(self, names._next_callable_id, nb::int_(1));
}

void set_send_handler(nb::handle self, nb::handle handler) { set_attr(self, names._send_handler, handler); }

nb::object send_request_sync(nb::handle self, nb::handle req, nb::handle timeout) {
    tarvex::require_dict(req, "req");
    const double seconds = PyFloat_AS_DOUBLE(owned(PyNumber_Float(timeout.ptr())).ptr());
    if (!truthy(attr(self, names._send_handler)))
        raise_text(PyExc_RuntimeError, "No send handler registered");

    nb::dict message = tarvex::request_message(req);
    // A release's answer is never read: it is sent without a waiter, and
    // on_message drops its answer as it drops any unknown id.
    if (tarvex::is_release(message)) {
        owned(PyObject_CallOneArg(attr(self, names._send_handler).ptr(), message.ptr()));
        return nb::none();
    }

    nb::object request_id = get(message, names.requestId);
    PendingRequests requests = pending(self);
    PendingRequests::Waiter waiter = requests.expect(request_id);
    std::optional<nb::object> response;
    try {
        nb::object handler = attr(self, names._send_handler);
        owned(PyObject_CallOneArg(handler.ptr(), message.ptr()));
        response = requests.wait(request_id, waiter, seconds);
    } catch (nb::python_error &e) {
        requests.forget(request_id);
        if (e.matches(PyExc_TimeoutError))
            raise_timeout(e.value().ptr());
        throw;
    }
    if (!response)
        raise_timeout(nullptr);
    return *response;
}

void on_message(nb::handle self, nb::handle message) {
    tarvex::require_dict(message, "message");
    nb::object request_id = get(message, names.requestId);
    if (!truthy(request_id))
        return;
    // Unknown ids, late answers (after a time-out) and repeats are dropped.
    nb::object future = pending(self).claim(request_id);
    if (!future.is_valid())
        return;
    if (truthy(get(message, names.ok))) {
        PendingRequests::resolve(future, message);
        return;
    }
    nb::object text = remote_error_text(message);
    nb::object error = owned(PyObject_CallOneArg(
        PyExc_RuntimeError, text.is_valid() ? text.ptr() : nb::str("Remote error").ptr()));
    PendingRequests::reject(future, error);
}

void reset(nb::handle self) {
    pending(self).cancel_all();

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
        nb::object type_name = type_name_of(callable_obj);
        PyErr_Format(PyExc_TypeError, "Object must be callable, got %U", type_name.ptr());
        throw nb::python_error();
    }
    HeldLock held(attr(self, names._callable_lock));
    nb::object generation = nb::str(attr(self, names._guid));
    nb::object prefix = owned(PyUnicode_Substring(generation.ptr(), 0, 8));
    nb::object serial = attr(self, names._next_callable_id);
    nb::object callable_id = owned(PyUnicode_FromFormat("pyfunc_%U_%S", prefix.ptr(), serial.ptr()));
    set_attr(self, names._next_callable_id, owned(PyNumber_Add(serial.ptr(), nb::int_(1).ptr())));
    tarvex::set_item(attr(self, names._callable_registry), callable_id, callable_obj);
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
        dropped = tarvex::pop(attr(self, names._callable_registry), callable_id);
    }
}

template <typename Fn, typename... Extra>
nb::object method(const char *name, Fn fn, const char *doc, const Extra &...extra) {
    return nb::cpp_function(fn, nb::is_method(), nb::name(name), doc, extra...);
}

}  // namespace

void init_messaging(nb::module_ &m) {
    tarvex::init_pending_requests();
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
