// PythonKernel: a subclass of _KernelState (the C++ state) whose methods come
// from the parts below and whose attributes are properties over that state.
// Construction does no network I/O.
#include "kernel/runtime/python_kernel.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "kernel/execution/in_memory_loader.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/chunking.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace {

// The top-level names of every module loaded so far: the kernel's own
// runtime, which the path handlers never unload.
nb::object startup_packages() {
    nb::object names = owned(PySet_New(nullptr));
    for (nb::handle name : copy_list(nb::handle(refs.sys).attr("modules"))) {
        if (!PyUnicode_Check(name.ptr()))
            continue;
        if (PySet_Add(names.ptr(), name.attr("partition")(".")[0].ptr()) < 0)
            throw nb::python_error();
    }
    return owned(PyFrozenSet_New(names.ptr()));
}

nb::object thread_pool(nb::handle max_workers, const char *thread_name_prefix) {
    return nb::handle(refs.ThreadPoolExecutor)(nb::arg("max_workers") = max_workers,
                                               nb::arg("thread_name_prefix") = thread_name_prefix);
}

void init(nb::handle self, nb::object workbook_id, nb::object host, nb::object port) {
    require_str(workbook_id, "workbook_id");
    require_str(host, "host");
    require_str(port, "port");
    KernelState &state = make_kernel_state(self);
    nb::handle sys(refs.sys);
    nb::object package = module_global(names::tarvex);

    // The connection's fields (websocket, running, loop, socket lock,
    // batcher) start empty; connect sets them.
    state.workbook_id = workbook_id;
    state.server_url = nb::str("ws://") + host + nb::str(":") + port;
    state.executor = module_global(names::CodeExecutor)();
    state.virtual_env = module_global(names::VirtualEnvironment)(workbook_id);
    // The class constant, so that a subclass may size its own pool.
    state.thread_pool = thread_pool(self.attr(names::WORKER_POOL_SIZE), "");
    // Live streams get threads of their own (started only as streams start),
    // so that streams living for hours never hold a pool thread.
    state.stream_pool = thread_pool(module_global(names::MAX_LIVE_STREAMS), "Stream");
    // The person at the editor has threads of their own: a sheet's work,
    // however much of it runs or waits, never keeps the console waiting.
    state.ide_pool = thread_pool(module_global(names::IDE_POOL_SIZE), "IDE");
    // The editor's requests, one at a time: jedi is not thread-safe.
    state.analysis_pool = thread_pool(nb::int_(1), "tarvex-analysis");
    state.lexora = module_global(names::Lexora)();
    state.agent = module_global(names::Agent)(package.attr(names::excel), package.attr(names::context));
    state.event_manager = module_global(names::EventManager)();
    state.object_keeper = nb::dict();
    state.object_keeper_lock = nb::handle(refs.threading_Lock)();
    state.orphan_responses = nb::dict();
    state.release_ids = nb::dict();
    state.canceled_streams = owned(PySet_New(nullptr));
    state.canceled_order = nb::list();
    state.startup_packages = startup_packages();
    state.original_stdout = sys.attr(names::stdout_);
    state.original_stderr = sys.attr(names::stderr_);

    if (ensure_loader_registered())
        log().debug("[Kernel] Registered InMemoryModuleLoader in sys.meta_path");
}

// `name`, readable and writable from Python, is the field `Field` of the
// kernel's state.
template <auto Field>
void field_property(ClassBuilder &cls, const char *name) {
    cls.property(
        name, [](nb::handle self) -> nb::object { return kernel_state(self).*Field; },
        [](nb::handle self, nb::object value) { kernel_state(self).*Field = std::move(value); });
}

// The attributes the product names, in the order of its table of them.
void define_attributes(ClassBuilder &cls) {
    field_property<&KernelState::workbook_id>(cls, "workbook_id");
    field_property<&KernelState::server_url>(cls, "server_url");
    field_property<&Connection::websocket>(cls, "websocket");
    field_property<&KernelState::executor>(cls, "executor");
    field_property<&KernelState::virtual_env>(cls, "virtual_env");
    cls.property(
        "running", [](nb::handle self) { return kernel_state(self).running; },
        [](nb::handle self, nb::handle value) { kernel_state(self).running = truthy(value); });
    field_property<&Connection::loop>(cls, "_loop");
    field_property<&KernelState::thread_pool>(cls, "_thread_pool");
    field_property<&KernelState::lexora>(cls, "_lexora");
    field_property<&KernelState::agent>(cls, "agent");
    field_property<&KernelState::event_manager>(cls, "event_manager");
    field_property<&KernelState::object_keeper>(cls, "_object_keeper");
    field_property<&KernelState::object_keeper_lock>(cls, "_object_keeper_lock");
    cls.property("_response_futures",
                 [](nb::handle self) { return kernel_state(self).sys_requests.table(); });
    field_property<&KernelState::orphan_responses>(cls, "_response_data");
    cls.property("_response_lock", [](nb::handle self) { return kernel_state(self).sys_requests.lock(); });
    field_property<&KernelState::canceled_streams>(cls, "_canceled_streaming_requests");
    field_property<&Connection::socket_lock>(cls, "_socket_lock");
    field_property<&Connection::batcher>(cls, "_batcher");
    field_property<&KernelState::original_stdout>(cls, "_original_stdout");
    field_property<&KernelState::original_stderr>(cls, "_original_stderr");
    // Unset until a debug run starts, as an attribute never assigned.
    cls.property(
        "_debugger",
        [](nb::handle self) -> nb::object {
            nb::object debugger = kernel_state(self).debugger;
            if (!debugger.is_valid()) {
                PyErr_SetString(PyExc_AttributeError, "'PythonKernel' object has no attribute '_debugger'");
                throw nb::python_error();
            }
            return debugger;
        },
        [](nb::handle self, nb::object value) { kernel_state(self).debugger = std::move(value); },
        [](nb::handle self) { kernel_state(self).debugger.reset(); });
    cls.property("has_active_debugger",
                 [](nb::handle self) { return !kernel_state(self).active_debugger().is_none(); });
}

}  // namespace

void define_python_kernel(nb::module_ &m) {
    ClassBuilder cls(m, "PythonKernel", nb::make_tuple(define_kernel_state(m)));
    cls.doc("The kernel of one workbook: its connection to the Business Layer and everything that serves it.")
        .attr("WORKER_POOL_SIZE", nb::int_(10))
        .method("__init__", &init, nb::arg("workbook_id").none(), nb::arg("host").none() = "127.0.0.1",
                nb::arg("port").none() = "8000");
    define_attributes(cls);
    define_send_path(cls);
    define_chunking(cls);
    define_lifecycle(cls);
    define_dispatcher(cls);
    define_object_keeper(cls);
    define_execution_request(cls);
    define_custom_function_call(cls);
    define_run_module(cls);
    define_event_execution(cls);
    define_python_function_call(cls);
    define_streaming_function(cls);
    define_debug_run(cls);
    define_editor_requests(cls);
    cls.finish();
}

}  // namespace tarvex::kernel
