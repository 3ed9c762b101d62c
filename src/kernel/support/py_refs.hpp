// Python objects the kernel uses on every path, looked up once at module
// load. They live as long as the process: raw references leaked on purpose,
// since C++ statics holding Python objects would be destroyed after the
// interpreter has finalized.
#pragma once

#include <nanobind/nanobind.h>

#include "common/log.hpp"
#include "common/py_ops.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// Interned attribute names and message keys: names::type is "type". Names
// that clash with C macros carry a trailing underscore (names::stdout_).
// clang-format off
#define TARVEX_KERNEL_NAMES(X) \
    X(type) X(request_id) X(workbook_id) X(source) X(content) X(message) X(payload) X(requestId) \
    X(success) X(error) X(result) X(function_name) X(module_name) X(code) X(path) X(current_paths) \
    X(chunk_id) X(chunk_index) X(total_chunks) X(data) X(original_type) X(chunks) X(received) X(total) \
    X(traceback) X(messages) X(action) X(key) X(object_type) X(repr) X(enable) X(title) X(msg_type) \
    X(objects) X(mode) X(expression) X(breakpoints) X(old_paths) X(new_paths) X(paths) X(line) X(file) \
    X(module) X(status) X(logs) X(done) X(FLUSH_INTERVAL) X(WORKER_POOL_SIZE) X(source_cache) \
    X(custom_paths) X(_buffer) X(_on_write) X(stream_type) X(send_callback) X(_original_stream) \
    X(globals) X(locals) X(messaging) X(loop) X(loop_thread) X(send_request_sync) X(_kernel_instance) \
    X(excel) X(context) X(tarvex) X(name) X(send) X(close) X(write) X(flush) X(run_in_executor) \
    X(shutdown) X(cancel) X(reset) X(getvalue) X(cache) X(MAX_MESSAGE_SIZE) X(CHUNK_SIZE) \
    X(CHUNK_HEADER_TYPE) X(MAX_CHUNKS) X(MAX_CHUNKED_MESSAGE_SIZE) X(json_dumps) X(in_memory_loader) \
    X(DEBUG_MESSAGE_SEND_TIMEOUT) X(PythonKernel) X(MessageBatcher) X(CodeExecutor) \
    X(VirtualEnvironment) X(execute) X(reset_namespace) X(add_path) X(remove_path) X(reset_path) \
    X(update_module) X(delete_module) X(sync_modules) X(update_sys_paths) X(set_hover_mode) \
    X(continue_execution) X(step_over) X(step_into) X(step_out) X(stop_debugging) X(evaluate_expression) \
    X(set_breakpoints) X(start) X(stop) X(__file__) X(__name__) X(__dict__) X(__builtins__) X(args) \
    X(paths_added) X(modules_unloaded) X(paths_cleared) X(websockets) X(Lexora) X(Agent) X(callable_id) \
    X(object_name) X(event_type) X(debug_exception_sent) X(step_mode) \
    X(get_callable) X(exception_type) X(exception_message) X(exception_traceback) X(call_stack) \
    X(set_in_memory_modules) X(runcall) X(stopped) X(TarvexDebugger) X(debug) X(send_message) \
    X(_deserialize_args) X(EventManager) X(completions) X(signatures) X(activeSignature) \
    X(activeParameter) X(contents) X(diagnostics) X(stdout_) X(stderr_) X(column) X(dirty_files) \
    X(get_completions) X(get_signature_help) X(get_hover) X(get_diagnostics) X(MAX_CHUNK_BUFFERS) \
    X(MAX_BUFFERED_CHUNK_SIZE) X(MAX_ORPHAN_RESPONSES) X(MAX_CANCELED_STREAMS) X(MAX_PENDING_RELEASES) \
    X(MAX_LIVE_STREAMS) X(interrupted) X(IDE_POOL_SIZE) X(call_soon) X(call_soon_threadsafe) \
    X(create_task) X(create_future) X(set_result) X(set_exception) X(submit)
// clang-format on

namespace names {
#define TARVEX_DECLARE_NAME(n) inline PyObject *n = nullptr;
TARVEX_KERNEL_NAMES(TARVEX_DECLARE_NAME)
#undef TARVEX_DECLARE_NAME
}  // namespace names

struct Refs {
    PyObject *module = nullptr;       // the kernel module
    PyObject *module_dict = nullptr;  // its globals
    PyObject *sys = nullptr;
    PyObject *builtins = nullptr;
    PyObject *builtins_dict = nullptr;
    PyObject *builtin_compile = nullptr;
    PyObject *ast_Expr = nullptr;
    PyObject *ast_Expression = nullptr;

    PyObject *get_running_loop = nullptr;
    PyObject *wrap_future = nullptr;
    PyObject *create_task = nullptr;
    PyObject *asyncio_sleep = nullptr;
    PyObject *asyncio_Lock = nullptr;
    PyObject *asyncio_Queue = nullptr;
    PyObject *asyncio_QueueEmpty = nullptr;
    PyObject *CancelledError = nullptr;

    PyObject *current_thread = nullptr;
    PyObject *threading_Lock = nullptr;
    PyObject *ThreadPoolExecutor = nullptr;

    PyObject *JSONDecodeError = nullptr;
    PyObject *format_exception = nullptr;
    PyObject *print_exc = nullptr;
    PyObject *StringIO = nullptr;
    PyObject *linecache = nullptr;
    PyObject *ModuleSpec = nullptr;
    PyObject *re_findall = nullptr;
    PyObject *re_search = nullptr;
    PyObject *re_escape = nullptr;

    PyObject *json_dumps_function = nullptr;  // the module's own json_dumps
    Logger *logger = nullptr;                 // the module's `logger`
};

// Filled by init_refs() during module load, before anything else uses it.
extern Refs refs;

void init_names();
void init_refs(nb::module_ &module);

inline const Logger &log() { return *refs.logger; }

// A global of the kernel module (see tarvex::module_global).
inline nb::object module_global(PyObject *name) { return tarvex::module_global(refs.module_dict, name); }

// Py_ssize_t value of an int module constant (CHUNK_SIZE and friends).
Py_ssize_t module_size_constant(PyObject *name);

}  // namespace tarvex::kernel
