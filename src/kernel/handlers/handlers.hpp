// The message handlers, one file per kind of message, as the dispatcher
// (runtime/dispatcher.cpp) routes to them and the kernel's class shows them
// to Python. Each takes the kernel object first and reaches its state
// through kernel_state(self). A handler that raises has its message
// refused by the dispatcher, with an error reply.
#pragma once

#include <nanobind/nanobind.h>

#include "common/coro.hpp"
#include "kernel/support/py_class.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// --- handled at once, on the loop ---

void on_execution_request(nb::handle self, nb::handle message);          // execution_request.cpp
void on_cancel_streaming_function(nb::handle self, nb::handle message);  // streaming_function.cpp
void on_interrupt_request(nb::handle self, nb::handle message);          // interrupt_request.cpp
void on_sys_response(nb::handle self, nb::handle message);               // sys_requests.cpp
void on_debug_step_over(nb::handle self, nb::handle message);            // debug_commands.cpp
void on_debug_step_into(nb::handle self, nb::handle message);
void on_debug_step_out(nb::handle self, nb::handle message);
void on_debug_update_breakpoints(nb::handle self, nb::handle message);

// --- handed to a pool thread, no task waiting ---
// Each reads its message on the loop, answers at once when there is
// nothing to run, and hands the rest to the pool (worker_request.hpp): the
// concurrent future of the run, or None.

nb::object submit_custom_function_call(nb::handle self, nb::handle message);  // custom_function_call.cpp
nb::object submit_event_execution(nb::handle self, nb::handle message);       // event_execution.cpp
nb::object submit_python_function_call(nb::handle self, nb::handle message);  // python_function_call.cpp

// --- quick replies, awaited before the next frame is read ---
// Their order with the next message matters (a module updated, then run).

Coro on_add_path(nb::object self, nb::object message);  // paths.cpp
Coro on_remove_path(nb::object self, nb::object message);
Coro on_reset_path(nb::object self, nb::object message);
Coro on_set_package_paths(nb::object self, nb::object message);
Coro on_set_python_paths(nb::object self, nb::object message);
Coro on_unload_and_clear_paths(nb::object self, nb::object message);
Coro on_reset_namespace(nb::object self, nb::object message);  // execution_request.cpp
Coro on_update_module(nb::object self, nb::object message);    // modules.cpp
Coro on_delete_module(nb::object self, nb::object message);
Coro on_debug_continue(nb::object self, nb::object message);  // debug_commands.cpp
Coro on_debug_stop(nb::object self, nb::object message);
Coro on_set_hover_mode(nb::object self, nb::object message);  // editor_requests.cpp

// --- run as tasks: they wait for a worker, and the loop must go on reading ---

Coro on_debug_evaluate(nb::object self, nb::object message);       // debug_commands.cpp
Coro on_get_object_registry(nb::object self, nb::object message);  // object_keeper.cpp
// The coroutines of the kernel's Python-named handlers (_handle_run_module
// and the like) for one message.
nb::object run_module_coroutine(nb::handle self, nb::handle message);  // run_module.cpp
nb::object execute_streaming_function_coroutine(nb::handle self,
                                                nb::handle message);           // streaming_function.cpp
nb::object completion_request_coroutine(nb::handle self, nb::handle message);  // editor_requests.cpp
nb::object signature_help_request_coroutine(nb::handle self, nb::handle message);
nb::object hover_request_coroutine(nb::handle self, nb::handle message);
nb::object diagnostic_request_coroutine(nb::handle self, nb::handle message);

// --- shared between handlers ---

// _handle_debug_run_module(...): a debug run's coroutine (debug_run.cpp).
nb::object debug_run_coroutine(nb::handle self, nb::object module_name, nb::object function_name,
                               nb::object args, nb::object breakpoints, nb::object request_id,
                               nb::object workbook_id, nb::object source);
// Calls `_lexora.<method>(argument)` on the analysis thread, after every
// analysis queued before it (jedi is not thread-safe); failures are logged
// (editor_requests.cpp).
void queue_lexora_call(nb::handle self, PyObject *method, nb::handle argument);

// --- what connect installs for worker threads (sys_requests.cpp) ---

nb::object make_send_stream_message(nb::handle self);
nb::object make_send_sys_request(nb::handle self);
nb::object make_new_send_request_sync(nb::handle self, nb::handle send_sys_request);

// --- the kernel's Python methods, each file adding its own ---

void define_object_keeper(ClassBuilder &cls);
void define_execution_request(ClassBuilder &cls);
void define_custom_function_call(ClassBuilder &cls);
void define_run_module(ClassBuilder &cls);
void define_event_execution(ClassBuilder &cls);
void define_python_function_call(ClassBuilder &cls);
void define_streaming_function(ClassBuilder &cls);
void define_debug_run(ClassBuilder &cls);
void define_editor_requests(ClassBuilder &cls);

}  // namespace tarvex::kernel
