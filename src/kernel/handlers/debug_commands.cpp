// The editor's commands to a debug run: continue, the three steps, stop,
// evaluate and new breakpoints. Each is ignored, or answered as such, when
// no debug run is active.
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace {

nb::object active_debugger(nb::handle self) { return kernel_state(self).active_debugger(); }

void step(nb::handle self, PyObject *command) {
    if (nb::object debugger = active_debugger(self); !debugger.is_none())
        debugger.attr(command)();
}

}  // namespace

Coro on_debug_continue(nb::object self, nb::object) {
    nb::object debugger = active_debugger(self);
    if (debugger.is_none())
        co_return nb::none();
    debugger.attr(names::continue_execution)();
    co_await send_message(self, make_message({{names::type, nb::str("debug_resumed")}}));
    co_return nb::none();
}

void on_debug_step_over(nb::handle self, nb::handle) { step(self, names::step_over); }
void on_debug_step_into(nb::handle self, nb::handle) { step(self, names::step_into); }
void on_debug_step_out(nb::handle self, nb::handle) { step(self, names::step_out); }

Coro on_debug_stop(nb::object self, nb::object) {
    nb::object stopping = active_debugger(self);
    if (stopping.is_none())
        co_return nb::none();
    stopping.attr(names::stop_debugging)();
    co_await send_message(self, make_message({{names::type, nb::str("debug_terminated")},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    // A debug run started while the reply was being sent keeps its debugger.
    kernel_state(self).forget_debugger(stopping);
    co_return nb::none();
}

// The expression is user code: it runs on a pool thread, never on the loop.
Coro on_debug_evaluate(nb::object self, nb::object message) {
    nb::object expression = get(message, names::expression, nb::str(""));
    nb::object request_id = get(message, names::request_id);
    nb::dict reply = make_message({{names::type, nb::str("debug_evaluate_result")},
                                   {names::workbook_id, kernel_state(self).workbook_id},
                                   {names::request_id, request_id},
                                   {names::expression, expression}});
    if (nb::object evaluating = active_debugger(self); !evaluating.is_none()) {
        nb::object result = co_await run_in_worker(
            kernel_state(self).thread_pool, running_loop(),
            [evaluating, expression] { return evaluating.attr(names::evaluate_expression)(expression); });
        if (PyDict_Merge(reply.ptr(), result.ptr(), 1) < 0)
            throw nb::python_error();
    } else {
        reply[names::error] = nb::str("No active debug session");
    }
    co_await send_message(self, reply);
    co_return nb::none();
}

void on_debug_update_breakpoints(nb::handle self, nb::handle message) {
    nb::object breakpoints = get(message, names::breakpoints, nb::list());
    nb::object debugger = active_debugger(self);
    if (debugger.is_none()) {
        log().warning("[Kernel] Received debug_update_breakpoints but no active debugger");
        return;
    }
    if (PyList_Check(breakpoints.ptr())) {
        debugger.attr(names::set_breakpoints)(breakpoints);
        log().info("[Kernel] Updated breakpoints during debug session: ", nb::len(breakpoints),
                   " breakpoints");
    } else {
        log().warning("[Kernel] Invalid breakpoints data type: ",
                      nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(breakpoints.ptr()))));
    }
}

}  // namespace tarvex::kernel
