// C++ coroutines exposed to the test suite, exercising the coroutine bridge
// the way the kernel uses it.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "common/args.hpp"
#include "common/coro.hpp"

namespace nb = nanobind;
using namespace tarvex;

namespace {

// Appends `entry` to `log` when it goes out of scope, however the frame ends.
struct LogOnExit {
    nb::object log;
    const char *entry;
    ~LogOnExit() { log.attr("append")(entry); }
};

Coro await_one(nb::object awaitable) { co_return co_await awaitable; }

Coro await_all(nb::list awaitables) {
    nb::list results;
    for (nb::handle awaitable : awaitables)
        results.append(co_await awaitable);
    co_return results;
}

Coro await_n(nb::object awaitable, int count) {
    nb::object last = nb::none();
    for (int i = 0; i < count; ++i)
        last = co_await awaitable;
    co_return last;
}

Coro nested(int depth, nb::object awaitable) {
    if (depth == 0)
        co_return co_await awaitable;
    nb::object inner = co_await nested(depth - 1, awaitable);
    co_return nb::int_(nb::cast<int>(inner) + 1);
}

Coro catch_error(nb::object awaitable) {
    try {
        co_await awaitable;
    } catch (nb::python_error &e) {
        co_return nb::make_tuple(e.type().attr("__name__"), nb::str(e.value()));
    }
    co_return nb::none();
}

Coro raise_value_error(nb::str message) {
    throw nb::value_error(nb::cast<std::string>(message).c_str());
    co_return nb::none();
}

Coro raise_after(nb::object awaitable, nb::object exception) {
    co_await awaitable;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
}

Coro raise_stop_iteration() {
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
    co_return nb::none();
}

Coro guarded(nb::object awaitable, nb::list log) {
    LogOnExit on_exit{log, "cleanup"};
    co_return co_await awaitable;
}

Coro with_lock(nb::object lock, nb::object awaitable, nb::list log) {
    auto held = co_await acquire(lock);
    log.append("in");
    co_await awaitable;
    log.append("out");
    co_return nb::none();
}

Coro collect(nb::object iterable) {
    nb::list items;
    nb::object it = aiter(iterable);
    while (auto item = co_await anext(it))
        items.append(*item);
    co_return items;
}

Coro ignore_generator_exit(nb::object awaitable) {
    try {
        co_await awaitable;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_GeneratorExit))
            throw;
    }
    co_await awaitable;
    co_return nb::none();
}

Coro typed(nb::object port) {
    require_str(port, "port");
    co_return port;
}

}  // namespace

NB_MODULE(bridge_probe, m) {
    register_coro_type(m);
    m.def("await_one", [](nb::object a) { return await_one(a).named("await_one", "await_one"); },
          nb::arg("awaitable").none());
    m.def("await_all", &await_all);
    m.def("await_n", &await_n);
    m.def("nested", &nested);
    m.def("catch_error", &catch_error);
    m.def("raise_value_error", &raise_value_error);
    m.def("raise_after", &raise_after);
    m.def("raise_stop_iteration", &raise_stop_iteration);
    m.def("guarded", &guarded);
    m.def("with_lock", &with_lock);
    m.def("collect", &collect);
    m.def("ignore_generator_exit", &ignore_generator_exit);
    m.def("typed", &typed);
    m.def("require_str", [](nb::object obj, const char *name, bool optional) { require_str(obj, name, optional); },
          nb::arg("obj").none(), nb::arg("name"), nb::arg("optional"));
}
