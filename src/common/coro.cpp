#include "coro.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <unordered_map>

#include "errors.hpp"

namespace tarvex {

namespace {

// The Python face of one C++ coroutine frame.
struct CoroObject {
    PyObject_HEAD CoroHandle frame;  // null once finished or closed
    PyObject *name;
    PyObject *qualname;
    bool started;
    bool running;
};

// One type per extension module; leaked on purpose, like the module itself.
PyTypeObject *coro_type = nullptr;

CoroObject *as_coro(PyObject *self) { return reinterpret_cast<CoroObject *>(self); }

bool is_stop_iteration(PyObject *exc) { return PyErr_GivenExceptionMatches(exc, PyExc_StopIteration); }

// The value carried by a StopIteration instance (new reference).
PyObject *stop_iteration_value(PyObject *exc) {
    return Py_NewRef(reinterpret_cast<PyStopIterationObject *>(exc)->value);
}

// Sets StopIteration(value) as the current error, as a generator return does.
void set_stop_iteration(PyObject *value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    // StopIteration(value) with one argument, so that a tuple stays whole.
    PyObject *exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc)
        PyErr_SetRaisedException(exc);
}

// The iterator `await awaitable` would drive (new reference), or null.
PyObject *awaitable_iter(PyObject *awaitable) {
    PyTypeObject *type = Py_TYPE(awaitable);
    if (type == &PyCoro_Type || type == coro_type)
        return Py_NewRef(awaitable);
    if (PyGen_CheckExact(awaitable) &&
        (PyGen_GetCode(reinterpret_cast<PyGenObject *>(awaitable))->co_flags & CO_ITERABLE_COROUTINE))
        return Py_NewRef(awaitable);  // a @types.coroutine generator, such as asyncio.sleep(0)
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
        return nullptr;
    }
    PyObject *iter = getter(awaitable);
    if (!iter)
        return nullptr;
    if (PyCoro_CheckExact(iter)) {
        Py_DECREF(iter);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(iter)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iter)->tp_name);
        Py_DECREF(iter);
        return nullptr;
    }
    return iter;
}

// Closes a delegated-to iterator, as `close()` of a generator does for the
// one it `yield from`s. Returns false with an error set on failure.
bool close_iter(PyObject *iter) {
    PyObject *close = nullptr;
    if (PyObject_GetOptionalAttrString(iter, "close", &close) < 0)
        return false;
    if (!close)
        return true;
    PyObject *res = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    Py_XDECREF(res);
    return res != nullptr;
}

PySendResult coro_step(CoroObject *co, PyObject *value, PyObject *exc, PyObject **out);

// Throws `exc` into the iterator a frame is suspended on. GeneratorExit
// closes the iterator and is then raised in the frame itself.
PySendResult throw_into(PyObject *iter, PyObject *exc, PyObject **out) {
    *out = nullptr;
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        if (close_iter(iter))
            PyErr_SetRaisedException(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    if (Py_TYPE(iter) == coro_type) {
        CoroObject *inner = as_coro(iter);
        if (inner->frame && !inner->running)
            return coro_step(inner, Py_None, exc, out);
    }
    PyObject *throw_method = nullptr;
    if (PyObject_GetOptionalAttrString(iter, "throw", &throw_method) < 0)
        return PYGEN_ERROR;
    if (!throw_method) {  // nothing to delegate to: raise in the frame
        PyErr_SetRaisedException(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    PyObject *res = PyObject_CallOneArg(throw_method, exc);
    Py_DECREF(throw_method);
    if (res) {
        *out = res;
        return PYGEN_NEXT;
    }
    PyObject *raised = PyErr_GetRaisedException();
    if (is_stop_iteration(raised)) {
        *out = stop_iteration_value(raised);
        Py_DECREF(raised);
        return PYGEN_RETURN;
    }
    PyErr_SetRaisedException(raised);
    return PYGEN_ERROR;
}

// Destroys a finished frame and hands its outcome to the caller.
PySendResult coro_finish(CoroObject *co, PyObject **out) {
    CoroPromise &promise = co->frame.promise();
    PySendResult status;
    if (promise.failure) {
        set_error_from(promise.failure);
        PyObject *raised = PyErr_GetRaisedException();
        if (is_stop_iteration(raised)) {
            // As in Python: a StopIteration leaking out of a coroutine body
            // would read as a normal return, so it becomes a RuntimeError.
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            PyObject *error = PyErr_GetRaisedException();
            PyException_SetCause(error, Py_NewRef(raised));
            PyException_SetContext(error, raised);
            raised = error;
        }
        *out = nullptr;
        status = PYGEN_ERROR;
        CoroHandle frame = std::exchange(co->frame, nullptr);
        frame.destroy();
        PyErr_SetRaisedException(raised);
    } else {
        *out = promise.result ? std::exchange(promise.result, nullptr) : Py_NewRef(Py_None);
        status = PYGEN_RETURN;
        ErrorStash stash;
        CoroHandle frame = std::exchange(co->frame, nullptr);
        frame.destroy();
    }
    return status;
}

// Advances the frame by one step: sends `value` (or throws `exc`, when not
// null) into what it waits on, resumes it when that completes, and returns
// what it yields next or its outcome.
PySendResult coro_step(CoroObject *co, PyObject *value, PyObject *exc, PyObject **out) {
    CoroPromise &promise = co->frame.promise();
    AwaitSlot *slot = promise.waiting;
    co->running = true;
    if (slot->iter) {
        PyObject *res = nullptr;
        PySendResult status = exc ? throw_into(slot->iter, exc, &res) : PyIter_Send(slot->iter, value, &res);
        if (status == PYGEN_NEXT) {
            co->running = false;
            *out = res;
            return PYGEN_NEXT;
        }
        Py_CLEAR(slot->iter);
        if (status == PYGEN_RETURN)
            slot->value = res;
        else
            slot->error = PyErr_GetRaisedException();
    } else if (exc) {
        slot->error = Py_NewRef(exc);
    }
    co->started = true;
    promise.waiting = nullptr;
    co->frame.resume();
    co->running = false;
    if (co->frame.done())
        return coro_finish(co, out);
    AwaitSlot *next = promise.waiting;
    *out = std::exchange(next->yielded, nullptr);
    return PYGEN_NEXT;
}

bool check_can_run(CoroObject *co) {
    if (co->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **out) {
    CoroObject *co = as_coro(self);
    *out = nullptr;
    if (!check_can_run(co))
        return PYGEN_ERROR;
    if (!co->frame) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!co->started && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    return coro_step(co, arg, nullptr, out);
}

// Maps a step's outcome onto the generator-method convention.
PyObject *as_method_result(PySendResult status, PyObject *out) {
    if (status == PYGEN_NEXT)
        return out;
    if (status == PYGEN_RETURN) {
        set_stop_iteration(out);
        Py_DECREF(out);
    }
    return nullptr;
}

PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *out = nullptr;
    PySendResult status = coro_am_send(self, arg, &out);
    return as_method_result(status, out);
}

PyObject *coro_iternext(PyObject *self) {
    PyObject *out = nullptr;
    PySendResult status = coro_am_send(self, Py_None, &out);
    if (status == PYGEN_RETURN && out == Py_None) {  // plain exhaustion: no exception object
        Py_DECREF(out);
        return nullptr;
    }
    return as_method_result(status, out);
}

// throw(exc) or the legacy throw(type[, value[, traceback]]).
PyObject *make_exception(PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject *type = args[0];
    PyObject *val = nargs > 1 && args[1] != Py_None ? args[1] : nullptr;
    PyObject *exc;
    if (PyExceptionInstance_Check(type)) {
        if (val) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(type);
    } else if (PyExceptionClass_Check(type)) {
        exc = val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject *>(type))
                  ? Py_NewRef(val)
                  : (val ? PyObject_CallOneArg(type, val) : PyObject_CallNoArgs(type));
        if (!exc)
            return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (nargs > 2 && args[2] != Py_None && PyException_SetTraceback(exc, args[2]) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    return exc;
}

// Before the first send the frame has run no code: the exception finishes
// it at once, as it does for a Python coroutine.
PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    CoroObject *co = as_coro(self);
    PyObject *exc = make_exception(args, nargs);
    if (!exc)
        return nullptr;
    if (!co->frame) {
        PyErr_SetRaisedException(exc);
        return nullptr;
    }
    if (!check_can_run(co)) {
        Py_DECREF(exc);
        return nullptr;
    }
    PyObject *out = nullptr;
    PySendResult status = coro_step(co, Py_None, exc, &out);
    Py_DECREF(exc);
    return as_method_result(status, out);
}

PyObject *coro_close(PyObject *self, PyObject *) {
    CoroObject *co = as_coro(self);
    if (!co->frame)
        Py_RETURN_NONE;
    if (!check_can_run(co))
        return nullptr;
    if (!co->started) {
        CoroHandle frame = std::exchange(co->frame, nullptr);
        frame.destroy();
        Py_RETURN_NONE;
    }
    PyObject *exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit)
        return nullptr;
    PyObject *out = nullptr;
    PySendResult status = coro_step(co, Py_None, exit, &out);
    Py_DECREF(exit);
    if (status == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject *coro_await(PyObject *self) { return Py_NewRef(self); }

void coro_finalize(PyObject *self) {
    CoroObject *co = as_coro(self);
    if (!co->frame)
        return;
    ErrorStash stash;
    if (!co->started) {
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                         co->qualname ? co->qualname : Py_None);
        if (PyErr_Occurred())
            PyErr_WriteUnraisable(self);
        CoroHandle frame = std::exchange(co->frame, nullptr);
        frame.destroy();
        return;
    }
    PyObject *res = coro_close(self, nullptr);
    if (res)
        Py_DECREF(res);
    else
        PyErr_WriteUnraisable(self);
}

int coro_traverse(PyObject *self, visitproc visit, void *arg) {
    CoroObject *co = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(co->name);
    Py_VISIT(co->qualname);
    if (co->frame) {
        CoroPromise &promise = co->frame.promise();
        if (AwaitSlot *slot = promise.waiting) {
            Py_VISIT(slot->iter);
            Py_VISIT(slot->yielded);
        }
        Py_VISIT(promise.result);
    }
    return 0;
}

int coro_clear(PyObject *self) {
    CoroObject *co = as_coro(self);
    if (co->frame && !co->running) {
        CoroHandle frame = std::exchange(co->frame, nullptr);
        frame.destroy();
    }
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    return 0;
}

// Finalized while still tracked, as generators are: a close() that
// resurrects the coroutine leaves it in the collector's sight.
void coro_dealloc(PyObject *self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0)
        return;  // resurrected
    PyObject_GC_UnTrack(self);
    PyTypeObject *type = Py_TYPE(self);
    {
        ErrorStash stash;
        coro_clear(self);
    }
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject *coro_repr(PyObject *self) {
    CoroObject *co = as_coro(self);
    return PyUnicode_FromFormat("<coroutine object %S at %p>", co->qualname ? co->qualname : Py_None, self);
}

PyObject *get_name(PyObject *self, void *) {
    PyObject *name = as_coro(self)->name;
    return Py_NewRef(name ? name : Py_None);
}

PyObject *get_qualname(PyObject *self, void *) {
    PyObject *name = as_coro(self)->qualname;
    return Py_NewRef(name ? name : Py_None);
}

int set_str_field(PyObject **field, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

int set_name(PyObject *self, PyObject *value, void *) {
    return set_str_field(&as_coro(self)->name, value, "__name__");
}

int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str_field(&as_coro(self)->qualname, value, "__qualname__");
}

PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(as_coro(self)->running); }

PyObject *get_suspended(PyObject *self, void *) {
    CoroObject *co = as_coro(self);
    return PyBool_FromLong(co->frame && co->started && !co->running);
}

PyObject *get_await(PyObject *self, void *) {
    CoroObject *co = as_coro(self);
    PyObject *iter = nullptr;
    if (co->frame && co->frame.promise().waiting)
        iter = co->frame.promise().waiting->iter;
    return Py_NewRef(iter ? iter : Py_None);
}

PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\n\nRaise exception in coroutine, return next yielded value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

AwaitSlot::~AwaitSlot() {
    Py_XDECREF(iter);
    Py_XDECREF(yielded);
    Py_XDECREF(value);
    Py_XDECREF(error);
}

nb::object AwaitSlot::take_outcome() {
    if (error) {
        PyErr_SetRaisedException(std::exchange(error, nullptr));
        throw nb::python_error();
    }
    return value ? nb::steal(std::exchange(value, nullptr)) : nb::none();
}

Coro CoroPromise::get_return_object() {
    CoroObject *co = PyObject_GC_New(CoroObject, coro_type);
    if (!co)
        throw nb::python_error();
    co->frame = CoroHandle::from_promise(*this);
    co->name = nullptr;
    co->qualname = nullptr;
    co->started = false;
    co->running = false;
    PyObject_GC_Track(co);
    return Coro(nb::steal(reinterpret_cast<PyObject *>(co)));
}

// Names come from string literals, so their addresses identify them; the
// interned Python strings are made once per literal and kept for good.
static PyObject *interned_name(const char *text) {
    static std::unordered_map<const char *, PyObject *> *names =
        new std::unordered_map<const char *, PyObject *>();
    auto [it, inserted] = names->try_emplace(text, nullptr);
    if (inserted) {
        it->second = PyUnicode_InternFromString(text);
        if (!it->second) {
            names->erase(it);
            throw nb::python_error();
        }
    }
    return Py_NewRef(it->second);
}

Coro &&Coro::named(const char *name, const char *qualname) && {
    CoroObject *co = as_coro(obj_.ptr());
    Py_XSETREF(co->name, interned_name(name));
    Py_XSETREF(co->qualname, interned_name(qualname));
    return std::move(*this);
}

PyAwaiter::PyAwaiter(nb::handle awaitable) {
    slot_.iter = awaitable_iter(awaitable.ptr());
    if (!slot_.iter)
        slot_.error = PyErr_GetRaisedException();
}

bool PyAwaiter::await_ready() {
    if (!slot_.iter)
        return true;
    PyObject *res = nullptr;
    switch (PyIter_Send(slot_.iter, Py_None, &res)) {
        case PYGEN_NEXT:
            slot_.yielded = res;
            return false;
        case PYGEN_RETURN:
            slot_.value = res;
            break;
        case PYGEN_ERROR:
            slot_.error = PyErr_GetRaisedException();
            break;
    }
    Py_CLEAR(slot_.iter);
    return true;
}

AnextAwaiter::AnextAwaiter(nb::handle async_iterator)
    : awaitable_([&] {
          PyTypeObject *type = Py_TYPE(async_iterator.ptr());
          if (!type->tp_as_async || !type->tp_as_async->am_anext)
              throw nb::type_error("object is not an async iterator");
          PyObject *awaitable = type->tp_as_async->am_anext(async_iterator.ptr());
          if (!awaitable)
              throw nb::python_error();
          return nb::steal(awaitable);
      }()),
      awaiter_(awaitable_) {}

std::optional<nb::object> AnextAwaiter::await_resume() {
    try {
        return awaiter_.await_resume();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_StopAsyncIteration))
            return std::nullopt;
        throw;
    }
}

nb::object aiter(nb::handle iterable) {
    PyObject *it = PyObject_GetAIter(iterable.ptr());
    if (!it)
        throw nb::python_error();
    return nb::steal(it);
}

AcquireAwaiter::AcquireAwaiter(nb::handle lock)
    : lock_(nb::borrow(lock)), awaiter_(lock_.attr("acquire")()) {}

bool is_coro_object(nb::handle obj) { return Py_TYPE(obj.ptr()) == coro_type; }

void register_coro_type(nb::module_ &module) {
    PyType_Slot slots[] = {
        {Py_am_await, reinterpret_cast<void *>(coro_await)},
        {Py_am_send, reinterpret_cast<void *>(coro_am_send)},
        {Py_tp_iternext, reinterpret_cast<void *>(coro_iternext)},
        {Py_tp_methods, coro_methods},
        {Py_tp_getset, coro_getset},
        {Py_tp_repr, reinterpret_cast<void *>(coro_repr)},
        {Py_tp_traverse, reinterpret_cast<void *>(coro_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(coro_clear)},
        {Py_tp_finalize, reinterpret_cast<void *>(coro_finalize)},
        {Py_tp_dealloc, reinterpret_cast<void *>(coro_dealloc)},
        {0, nullptr},
    };
    std::string name = nb::cast<std::string>(module.attr("__name__")) + ".coroutine";
    PyType_Spec spec = {name.c_str(), sizeof(CoroObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject *type = PyType_FromModuleAndSpec(module.ptr(), &spec, nullptr);
    if (!type)
        throw nb::python_error();
    coro_type = reinterpret_cast<PyTypeObject *>(type);  // kept for the life of the process
}

}  // namespace tarvex
