// C++20 coroutines that are Python coroutines.
//
// A function returning `Coro` is a C++ coroutine whose frame is owned by a
// Python object speaking the coroutine protocol (`__await__`, `send`,
// `throw`, `close`, `am_send`), so asyncio runs it like an `async def`.
// Inside it, `co_await` accepts any Python awaitable and drives it with
// `yield from` semantics: what the awaitable yields goes up to the event
// loop, what the loop sends or throws goes down to it, its return value is
// the value of the `co_await`, and its exception is thrown as
// `nb::python_error` at the `co_await`.
//
// Coroutine parameters are copied into the frame; lambda captures are not.
// Take every parameter by value and never write a capturing coroutine lambda.
//
// The cycle collector sees what a suspended frame awaits, not the Python
// objects held in its locals: a coroutine abandoned while suspended inside
// a reference cycle through its locals is never collected. Frames release
// everything as soon as they finish, so this only concerns coroutines that
// are dropped without being run to the end, cancelled or closed.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "common/held_lock.hpp"

namespace tarvex {

namespace nb = nanobind;

// What a suspended frame waits on. `iter` is the awaitable's iterator, or
// null for the suspension before the first `send`. The owner of the frame
// stores the outcome in `value` or `error` before resuming it.
struct AwaitSlot {
    PyObject *iter = nullptr;
    PyObject *yielded = nullptr;
    PyObject *value = nullptr;
    PyObject *error = nullptr;

    AwaitSlot() = default;
    AwaitSlot(const AwaitSlot &) = delete;
    AwaitSlot &operator=(const AwaitSlot &) = delete;
    ~AwaitSlot();

    // The outcome as the value of `co_await`; throws `nb::python_error`.
    nb::object take_outcome();
};

struct CoroPromise;
using CoroHandle = std::coroutine_handle<CoroPromise>;

// Return type of C++ coroutines; holds the Python coroutine object.
class Coro {
public:
    using promise_type = CoroPromise;

    Coro() = default;
    explicit Coro(nb::object obj) : obj_(std::move(obj)) {}

    // The Python coroutine object, ready to be returned to Python.
    nb::object object() && { return std::move(obj_); }
    const nb::object &object() const & { return obj_; }

    // Sets `__name__` and `__qualname__` (shown in task reprs); both must be
    // string literals or otherwise live for the whole process.
    Coro &&named(const char *name, const char *qualname) &&;

    auto operator co_await() &&;

private:
    nb::object obj_;
};

struct CoroPromise {
    AwaitSlot start;               // the suspension before the first send
    AwaitSlot *waiting = nullptr;  // the slot the frame is suspended on
    PyObject *result = nullptr;    // owned; set by co_return
    std::exception_ptr failure;    // set when the body throws

    ~CoroPromise() { Py_XDECREF(result); }

    Coro get_return_object();

    // Frames are small and short-lived: Python's allocator serves them
    // faster than malloc. Frames are only made and freed with the GIL held.
    static void *operator new(std::size_t size) {
        if (void *p = PyMem_Malloc(size))
            return p;
        throw std::bad_alloc();
    }
    static void operator delete(void *p) noexcept { PyMem_Free(p); }

    struct StartAwaiter {
        CoroPromise *promise;
        bool await_ready() const noexcept { return false; }
        void await_suspend(CoroHandle) noexcept { promise->waiting = &promise->start; }
        void await_resume() { promise->start.take_outcome(); }
    };
    StartAwaiter initial_suspend() noexcept { return {this}; }
    std::suspend_always final_suspend() noexcept { return {}; }

    void return_value(nb::object value) noexcept { result = value.release().ptr(); }
    void unhandled_exception() noexcept { failure = std::current_exception(); }
};

// Awaits one Python awaitable. The first step is taken in `await_ready`, so
// an awaitable that completes at once (a done future) never suspends.
class PyAwaiter {
public:
    explicit PyAwaiter(nb::handle awaitable);
    PyAwaiter(PyAwaiter &&) = delete;

    bool await_ready();
    template <typename P>
    void await_suspend(std::coroutine_handle<P> h) noexcept {
        h.promise().waiting = &slot_;
    }
    nb::object await_resume() { return slot_.take_outcome(); }

private:
    AwaitSlot slot_;
};

// `co_await` of any Python object.
inline PyAwaiter operator co_await(nb::handle awaitable) { return PyAwaiter(awaitable); }
inline PyAwaiter operator co_await(const nb::object &awaitable) { return PyAwaiter(awaitable); }

inline auto Coro::operator co_await() && { return PyAwaiter(obj_); }

// `async for`: yields items until StopAsyncIteration.
//   nb::object it = aiter(iterable);
//   while (auto item = co_await anext(it)) { ... *item ... }
class AnextAwaiter {
public:
    explicit AnextAwaiter(nb::handle async_iterator);
    AnextAwaiter(AnextAwaiter &&) = delete;
    bool await_ready() { return awaiter_.await_ready(); }
    template <typename P>
    void await_suspend(std::coroutine_handle<P> h) noexcept {
        awaiter_.await_suspend(h);
    }
    std::optional<nb::object> await_resume();

private:
    nb::object awaitable_;
    PyAwaiter awaiter_;
};
nb::object aiter(nb::handle iterable);
inline AnextAwaiter anext(nb::handle async_iterator) { return AnextAwaiter(async_iterator); }

// `async with lock:` for locks whose release is synchronous (asyncio.Lock).
//   auto held = co_await acquire(lock);   // released when `held` goes away
class AcquireAwaiter {
public:
    explicit AcquireAwaiter(nb::handle lock);
    bool await_ready() { return awaiter_.await_ready(); }
    template <typename P>
    void await_suspend(std::coroutine_handle<P> h) noexcept {
        awaiter_.await_suspend(h);
    }
    HeldLock await_resume() {
        awaiter_.await_resume();
        return HeldLock(std::move(lock_), HeldLock::adopt);
    }

private:
    nb::object lock_;
    PyAwaiter awaiter_;
};
inline AcquireAwaiter acquire(nb::handle lock) { return AcquireAwaiter(lock); }

// Registers the coroutine type in `module` (call once from module init).
void register_coro_type(nb::module_ &module);

// True for Python objects of the coroutine type of this module.
bool is_coro_object(nb::handle obj);

}  // namespace tarvex

namespace nanobind::detail {

// Lets bound functions return `Coro` directly.
template <>
struct type_caster<tarvex::Coro> {
    NB_TYPE_CASTER(tarvex::Coro, const_name("Coroutine"))
    static handle from_cpp(tarvex::Coro &&value, rv_policy, cleanup_list *) noexcept {
        return std::move(value).object().release();
    }
    bool from_python(handle, uint8_t, cleanup_list *) noexcept { return false; }
};

}  // namespace nanobind::detail
