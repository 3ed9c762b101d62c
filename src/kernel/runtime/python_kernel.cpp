// PythonKernel construction. Attributes live in the instance __dict__ under
// the names the rest of the product uses; construction does no network I/O.
#include "kernel/runtime/python_kernel.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "kernel/execution/in_memory_loader.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"

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

void init(nb::handle self, nb::object workbook_id, nb::object host, nb::object port) {
    require_str(workbook_id, "workbook_id");
    require_str(host, "host");
    require_str(port, "port");
    nb::handle sys(refs.sys);
    nb::object package = module_global(names::tarvex);

    self.attr(names::workbook_id) = workbook_id;
    self.attr(names::server_url) = nb::str("ws://") + host + nb::str(":") + port;
    self.attr(names::websocket) = nb::none();
    self.attr(names::executor) = module_global(names::CodeExecutor)();
    self.attr(names::virtual_env) = module_global(names::VirtualEnvironment)(workbook_id);
    self.attr(names::running) = false;
    self.attr(names::_loop) = nb::none();
    self.attr(names::_thread_pool) =
        nb::handle(refs.ThreadPoolExecutor)(nb::arg("max_workers") = self.attr(names::WORKER_POOL_SIZE));
    // Live streams get threads of their own (started only as streams start),
    // so that streams living for hours never hold a pool thread.
    self.attr(names::_stream_pool) =
        nb::handle(refs.ThreadPoolExecutor)(nb::arg("max_workers") = module_global(names::MAX_LIVE_STREAMS),
                                            nb::arg("thread_name_prefix") = "Stream");
    self.attr(names::_live_streams) = 0;
    // The person at the editor has threads of their own: a sheet's work,
    // however much of it runs or waits, never keeps the console waiting.
    self.attr(names::_ide_pool) =
        nb::handle(refs.ThreadPoolExecutor)(nb::arg("max_workers") = module_global(names::IDE_POOL_SIZE),
                                            nb::arg("thread_name_prefix") = "IDE");
    // The editor's requests, one at a time: jedi is not thread-safe.
    self.attr(names::_analysis_pool) = nb::handle(refs.ThreadPoolExecutor)(
        nb::arg("max_workers") = 1, nb::arg("thread_name_prefix") = "tarvex-analysis");
    self.attr(names::_lexora) = module_global(names::Lexora)();
    self.attr(names::agent) =
        module_global(names::Agent)(package.attr(names::excel), package.attr(names::context));
    self.attr(names::event_manager) = module_global(names::EventManager)();
    self.attr(names::_object_keeper) = nb::dict();
    self.attr(names::_object_keeper_lock) = nb::handle(refs.threading_Lock)();
    self.attr(names::_response_futures) = nb::dict();
    self.attr(names::_response_data) = nb::dict();
    self.attr(names::_response_lock) = nb::handle(refs.threading_Lock)();
    self.attr(names::_release_ids) = nb::dict();
    self.attr(names::_canceled_streaming_requests) = owned(PySet_New(nullptr));
    self.attr(names::_chunk_buffers) = nb::dict();
    self.attr(names::_socket_lock) = nb::none();
    self.attr(names::_batcher) = nb::none();
    self.attr(names::_startup_packages) = startup_packages();
    self.attr(names::_original_stdout) = sys.attr(names::stdout_);
    self.attr(names::_original_stderr) = sys.attr(names::stderr_);

    if (ensure_loader_registered())
        log().debug("[Kernel] Registered InMemoryModuleLoader in sys.meta_path");
}

}  // namespace

void define_python_kernel(nb::module_ &m) {
    ClassBuilder cls(m, "PythonKernel");
    cls.doc("The kernel of one workbook: its connection to the Business Layer and everything that serves it.")
        .attr("WORKER_POOL_SIZE", nb::int_(10))
        .method("__init__", &init, nb::arg("workbook_id").none(), nb::arg("host").none() = "127.0.0.1",
                nb::arg("port").none() = "8000");
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
