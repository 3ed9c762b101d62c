#include "common/pending_requests.hpp"

#include "common/held_lock.hpp"
#include "common/py_ops.hpp"

namespace tarvex {

namespace {

struct FutureRefs {
    PyObject *future_type;  // concurrent.futures.Future
    PyObject *cancelled_error;
    PyObject *invalid_state_error;
    // method names, interned
    PyObject *add_done_callback, *cancel, *cancelled, *clear, *done, *exception, *result;
    PyObject *set_exception, *set_result, *values;
};

PyObject *leak(nb::object obj) { return obj.release().ptr(); }

PyObject *intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return name;
}

// Filled on first use under the GIL, without a C++ initialisation guard
// (one would deadlock when the import hands the GIL to a thread that then
// waits on the guard). A thread that fills it meanwhile finds the same
// objects; the last field set tells that all are.
const FutureRefs &future_refs() {
    static FutureRefs refs{};
    if (!refs.values) {
        nb::module_ futures = nb::module_::import_("concurrent.futures");
        refs.future_type = leak(futures.attr("Future"));
        refs.cancelled_error = leak(futures.attr("CancelledError"));
        refs.invalid_state_error = leak(futures.attr("InvalidStateError"));
        refs.add_done_callback = intern("add_done_callback");
        refs.cancel = intern("cancel");
        refs.cancelled = intern("cancelled");
        refs.clear = intern("clear");
        refs.done = intern("done");
        refs.exception = intern("exception");
        refs.result = intern("result");
        refs.set_exception = intern("set_exception");
        refs.set_result = intern("set_result");
        refs.values = intern("values");
    }
    return refs;
}

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

bool is_done(nb::handle future) { return truthy(call_method(future, future_refs().done)); }

}  // namespace

PendingRequests::Waiter PendingRequests::expect(nb::handle id) const {
    PyObject *future = PyObject_CallNoArgs(future_refs().future_type);
    if (!future)
        throw nb::python_error();
    Waiter waiter{nb::steal(future), std::make_shared<ResponseSignal>()};
    call_method(waiter.future, future_refs().add_done_callback, firing_callback(waiter.signal));
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
    const FutureRefs &refs = future_refs();
    nb::handle future = waiter.future;
    try {
        if (!waiter.signal->wait(seconds)) {
            forget(id);
            return std::nullopt;
        }
        if (truthy(call_method(future, refs.cancelled))) {
            PyErr_SetNone(refs.cancelled_error);
            throw nb::python_error();
        }
        // Raised as it is: through result() it would carry frames of
        // concurrent.futures into the caller's traceback.
        nb::object failure = call_method(future, refs.exception, nb::int_(0));
        if (!failure.is_none()) {
            PyErr_SetRaisedException(failure.release().ptr());
            throw nb::python_error();
        }
        return call_method(future, refs.result, nb::int_(0));
    } catch (...) {
        forget(id);
        throw;
    }
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

void PendingRequests::resolve(nb::handle future, nb::handle value) {
    try {
        call_method(future, future_refs().set_result, value);
    } catch (nb::python_error &e) {
        if (!e.matches(future_refs().invalid_state_error))
            throw;
    }
}

void PendingRequests::reject(nb::handle future, nb::handle error) {
    try {
        call_method(future, future_refs().set_exception, error);
    } catch (nb::python_error &e) {
        if (!e.matches(future_refs().invalid_state_error))
            throw;
    }
}

void PendingRequests::cancel_all() const {
    const FutureRefs &refs = future_refs();
    nb::object pending;
    {
        HeldLock held(lock_);
        PyObject *values = PySequence_List(call_method(table_, refs.values).ptr());
        if (!values)
            throw nb::python_error();
        pending = nb::steal(values);
        call_method(table_, refs.clear);
    }
    for (nb::handle future : pending)
        if (!is_done(future))
            call_method(future, refs.cancel);
}

bool PendingRequests::is_cancellation(const nb::python_error &error) {
    return error.matches(future_refs().cancelled_error);
}

}  // namespace tarvex
