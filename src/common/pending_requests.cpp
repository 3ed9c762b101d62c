#include "common/pending_requests.hpp"

#include "common/held_lock.hpp"
#include "common/py_ops.hpp"

namespace tarvex {

namespace {

// concurrent.futures and the method names the matcher calls, interned.
struct FutureApi {
    PyObject *future_type, *cancelled_error, *invalid_state_error;
    PyObject *add_done_callback, *cancel, *cancelled, *clear, *done, *exception, *result;
    PyObject *set_exception, *set_result, *values;
};
FutureApi api;  // filled by init_pending_requests()

PyObject *leak(nb::object obj) { return obj.release().ptr(); }

nb::object call_method(nb::handle obj, PyObject *name) {
    PyObject *result = PyObject_CallMethodNoArgs(obj.ptr(), name);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object call_method(nb::handle obj, PyObject *name, nb::handle arg) {
    PyObject *result = PyObject_CallMethodOneArg(obj.ptr(), name, arg.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

bool is_done(nb::handle future) { return truthy(call_method(future, api.done)); }

// future.set_result(arg) or set_exception(arg); a future completed
// elsewhere meanwhile is left as it is.
void settle(nb::handle future, PyObject *setter, nb::handle arg) {
    try {
        call_method(future, setter, arg);
    } catch (nb::python_error &e) {
        if (!e.matches(api.invalid_state_error))
            throw;
    }
}

// The value of a future that is done; raises its failure, or CancelledError.
nb::object outcome(nb::handle future) {
    if (truthy(call_method(future, api.cancelled))) {
        PyErr_SetNone(api.cancelled_error);
        throw nb::python_error();
    }
    // Raised as it is: through result() it would carry frames of
    // concurrent.futures into the caller's traceback.
    nb::object failure = call_method(future, api.exception, nb::int_(0));
    if (!failure.is_none()) {
        PyErr_SetRaisedException(failure.release().ptr());
        throw nb::python_error();
    }
    return call_method(future, api.result, nb::int_(0));
}

}  // namespace

void init_pending_requests() {
    init_response_signal();
    if (api.future_type)
        return;
    nb::module_ futures = nb::module_::import_("concurrent.futures");
    api.future_type = leak(futures.attr("Future"));
    api.cancelled_error = leak(futures.attr("CancelledError"));
    api.invalid_state_error = leak(futures.attr("InvalidStateError"));
    api.add_done_callback = interned("add_done_callback");
    api.cancel = interned("cancel");
    api.cancelled = interned("cancelled");
    api.clear = interned("clear");
    api.done = interned("done");
    api.exception = interned("exception");
    api.result = interned("result");
    api.set_exception = interned("set_exception");
    api.set_result = interned("set_result");
    api.values = interned("values");
}

PendingRequests::Waiter PendingRequests::expect(nb::handle id) const {
    PyObject *future = PyObject_CallNoArgs(api.future_type);
    if (!future)
        throw nb::python_error();
    Waiter waiter{nb::steal(future), std::make_shared<ResponseSignal>()};
    call_method(waiter.future, api.add_done_callback, firing_callback(waiter.signal));
    HeldLock held(lock_);
    set_item(table_, id, waiter.future);
    return waiter;
}

void PendingRequests::forget(nb::handle id) const {
    nb::object dropped;  // let go once the lock is free
    HeldLock held(lock_);
    dropped = pop(table_, id);
}

std::optional<nb::object> PendingRequests::wait(nb::handle id, const Waiter &waiter, double seconds) const {
    try {
        // A signal fired with no answer was woken early (see ResponseSignal).
        if (waiter.signal->wait(seconds) && is_done(waiter.future))
            return outcome(waiter.future);
    } catch (...) {
        forget(id);
        throw;
    }
    forget(id);
    return std::nullopt;
}

nb::object PendingRequests::claim(nb::handle id) const {
    nb::object future;
    {
        HeldLock held(lock_);
        future = pop(table_, id);
    }
    if (future.is_none() || is_done(future))
        return nb::object();
    return future;
}

void PendingRequests::resolve(nb::handle future, nb::handle value) { settle(future, api.set_result, value); }

void PendingRequests::reject(nb::handle future, nb::handle error) {
    settle(future, api.set_exception, error);
}

void PendingRequests::cancel_all() const {
    nb::object pending;
    {
        HeldLock held(lock_);
        PyObject *values = PySequence_List(call_method(table_, api.values).ptr());
        if (!values)
            throw nb::python_error();
        pending = nb::steal(values);
        call_method(table_, api.clear);
    }
    for (nb::handle future : pending)
        if (!is_done(future))
            call_method(future, api.cancel);
}

bool PendingRequests::is_cancellation(const nb::python_error &error) {
    return error.matches(api.cancelled_error);
}

}  // namespace tarvex
