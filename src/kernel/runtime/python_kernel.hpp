// PythonKernel: the connection to the Business Layer and everything that
// serves it. The class is assembled from the parts below, one per file;
// every coroutine here is a Python coroutine (tarvex::Coro) whose first
// parameter is the kernel object.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/coro.hpp"
#include "kernel/support/py_class.hpp"
#include "kernel/transport/chunking.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// --- lifecycle (runtime/lifecycle.cpp) ---
Coro disconnect(nb::object self);

// --- dispatcher (runtime/dispatcher.cpp) ---
// Dispatches one incoming message: None when it was handled synchronously,
// otherwise an awaitable that finishes the handling.
nb::object dispatch(nb::handle self, nb::handle message);
// The one way in for a received message: dispatches it, a message that
// cannot be handled refused (see refuse) rather than ending the
// connection. None when it was handled at once, otherwise an awaitable
// that finishes the handling (its failure refused too); no coroutine is
// made for a message handled at once.
nb::object handle_incoming(nb::handle self, nb::handle message);

// --- editor requests (runtime/editor_requests.cpp) ---
// Calls `_lexora.<method>(argument)` on the analysis thread, after every
// analysis queued before it (jedi is not thread-safe); failures are logged.
void queue_lexora_call(nb::handle self, PyObject *method, nb::handle argument);

// --- refusals (runtime/refusal.cpp) ---
// Answers a message that could not be handled with an "error" reply naming
// what was wrong (and its request_id, when it has one), logged at error. A
// closed connection is raised again instead: it is no message's fault.
Coro refuse(nb::object self, nb::object message, nb::object error);
// Awaits `handler`; a failure is refused as above instead of escaping.
Coro refusing_failures(nb::object self, nb::object message, nb::object handler);

// --- synchronous system requests (runtime/sys_requests.cpp) ---
void route_sys_response(nb::handle self, nb::handle message);
// Installs the three closures (connect step 9-11 of the lifecycle).
nb::object make_send_stream_message(nb::handle self);
nb::object make_send_sys_request(nb::handle self);
nb::object make_new_send_request_sync(nb::handle self, nb::handle send_sys_request);

// --- paths (runtime/path_handlers.cpp) ---
Coro handle_set_package_paths(nb::object self, nb::object message);
Coro handle_set_python_paths(nb::object self, nb::object message);
Coro handle_unload_and_clear_paths(nb::object self, nb::object message);

// --- object keeper (runtime/object_keeper.cpp) ---
nb::list get_object_registry(nb::handle self);

// --- requests run on the pool ---
// Each hands its request to the pool (see worker_request.hpp) and gives the
// concurrent future of the run, or None when it was answered at once; the
// handler of its Python name is a coroutine awaiting that.
// _execute_code_async(code, request_id, function_name, source)
// (runtime/execution_request.cpp), arguments checked first.
nb::object submit_execution(nb::handle self, nb::handle code, nb::handle request_id, nb::handle function_name,
                            nb::handle source);
// _handle_custom_function_call (runtime/custom_function_call.cpp),
// _handle_event_execution (runtime/event_execution.cpp) and
// _handle_python_function_call (runtime/python_function_call.cpp) for one
// message.
nb::object submit_custom_function_call(nb::handle self, nb::handle message);
nb::object submit_event_execution(nb::handle self, nb::handle message);
nb::object submit_python_function_call(nb::handle self, nb::handle message);

// --- other message handlers started by the dispatcher ---
// _execute_streaming_function(...) and _handle_debug_run_module(...): the
// coroutines of a live stream and of a debug run.
nb::object streaming_function_coroutine(nb::handle self, nb::object request_id, nb::object module_name,
                                        nb::object function_name, nb::object args, nb::object workbook_id,
                                        nb::object source);
nb::object debug_run_coroutine(nb::handle self, nb::object module_name, nb::object function_name,
                               nb::object args, nb::object breakpoints, nb::object request_id,
                               nb::object workbook_id, nb::object source);
// _handle_run_module (runtime/run_module.cpp)
nb::object run_module_coroutine(nb::handle self, nb::handle message);
// _handle_completion_request, _handle_signature_help_request,
// _handle_hover_request, _handle_diagnostic_request
// (runtime/editor_requests.cpp)
nb::object completion_request_coroutine(nb::handle self, nb::handle message);
nb::object signature_help_request_coroutine(nb::handle self, nb::handle message);
nb::object hover_request_coroutine(nb::handle self, nb::handle message);
nb::object diagnostic_request_coroutine(nb::handle self, nb::handle message);

// Each part adds its methods to the class under construction.
void define_lifecycle(ClassBuilder &cls);
void define_dispatcher(ClassBuilder &cls);
void define_object_keeper(ClassBuilder &cls);
void define_execution_request(ClassBuilder &cls);
void define_custom_function_call(ClassBuilder &cls);
void define_run_module(ClassBuilder &cls);
void define_event_execution(ClassBuilder &cls);
void define_python_function_call(ClassBuilder &cls);
void define_streaming_function(ClassBuilder &cls);
void define_debug_run(ClassBuilder &cls);
void define_editor_requests(ClassBuilder &cls);
void define_python_kernel(nb::module_ &m);
void define_main(nb::module_ &m);

}  // namespace tarvex::kernel
