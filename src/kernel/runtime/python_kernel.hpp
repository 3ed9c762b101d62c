// PythonKernel, the class the product sees: its state (state/), the
// handlers of its messages (handlers/), and here what holds them together:
// the class itself, the connection's lifecycle and the dispatcher that
// routes every received message. Every coroutine here is a Python
// coroutine (tarvex::Coro) whose first parameter is the kernel object.
#pragma once

#include <nanobind/nanobind.h>

#include "common/coro.hpp"
#include "kernel/support/py_class.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// Defines PythonKernel and the coroutine main(workbook_id, port).
void define_python_kernel(nb::module_ &m);
void define_main(nb::module_ &m);

// --- within the class (lifecycle.cpp, dispatcher.cpp, refusal.cpp) ---

// Undoes what connect installed; repeating it does no harm.
Coro disconnect(nb::object self);

// Dispatches one incoming message: None when it was handled at once,
// otherwise an awaitable that finishes the handling.
nb::object dispatch(nb::handle self, nb::handle message);
// The one way in for a received message: dispatches it, a message that
// cannot be handled refused (see refuse) rather than ending the
// connection. None when it was handled at once, otherwise an awaitable
// that finishes the handling (its failure refused too); no coroutine is
// made for a message handled at once.
nb::object handle_incoming(nb::handle self, nb::handle message);

// Answers a message that could not be handled with an "error" reply naming
// what was wrong (and its request_id, when it has one), logged at error. A
// closed connection is raised again instead: it is no message's fault.
Coro refuse(nb::object self, nb::object message, nb::object error);
// Awaits `handler`; a failure is refused as above instead of escaping.
Coro refusing_failures(nb::object self, nb::object message, nb::object handler);

void define_lifecycle(ClassBuilder &cls);
void define_dispatcher(ClassBuilder &cls);

}  // namespace tarvex::kernel
