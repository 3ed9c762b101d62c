// The kernel module: loads its siblings in a fixed order, then defines the
// transport constants and the kernel's classes. Importing it never starts a
// kernel; the launcher runs main(workbook_id, port).
#include <nanobind/nanobind.h>

#include "common/coro.hpp"
#include "common/pending_requests.hpp"
#include "common/pyimport.hpp"
#include "kernel/execution/code_executor.hpp"
#include "kernel/execution/in_memory_loader.hpp"
#include "kernel/execution/stream_classes.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/virtual_environment.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/connection.hpp"
#include "kernel/transport/json_dumps.hpp"
#include "kernel/transport/outbox.hpp"
#include "kernel/transport/wire_text.hpp"

namespace nb = nanobind;
using namespace tarvex;

NB_MODULE(kernel, m) {
    register_coro_type(m);
    // The kernel keeps its classes, its loader and its kernel object alive
    // until the process ends, on purpose; nothing to report at exit.
    nb::set_leak_warnings(false);
    kernel::init_names();
    kernel::init_refs(m);
    init_pending_requests();
    const std::string package = parent_package(m);

    // Standard modules and the client library first, then the serializer.
    m.attr("websockets") = nb::module_::import_("websockets");
    kernel::init_json_dumps(m);
    kernel::refs.json_dumps_function = nb::object(m.attr("json_dumps")).release().ptr();

    // Siblings: package-relative first, top-level as the fallback.
    m.attr("Lexora") = import_sibling(package, "lexora").attr("Lexora");
    m.attr("Agent") = import_sibling(package, "agent").attr("Agent");
    m.attr("EventManager") = import_sibling(package, "event_manager").attr("EventManager");
    m.attr("TarvexDebugger") = import_sibling(package, "debugger").attr("TarvexDebugger");

    // Logging has no fallback: without it the kernel does not load.
    nb::module_ logging_config = nb::module_::import_("tarvex_master.logging_config");
    logging_config.attr("setup_logging_subprocess")();
    m.attr("logger") = logging_config.attr("get_logger")(m.attr("__name__"));
    kernel::refs.logger = new Logger(m.attr("logger"));

    m.attr("DEBUG_MESSAGE_SEND_TIMEOUT") = 5.0;
    kernel::define_traceback_functions(m);
    kernel::define_in_memory_loader(m);

    // The user package, reachable from user code as `import tarvex`.
    nb::object sys_modules = nb::module_::import_("sys").attr("modules");
    nb::object user_package;
    try {
        user_package = nb::module_::import_((package + ".tarvex").c_str());
        sys_modules["tarvex"] = user_package;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        user_package = nb::module_::import_("tarvex");
    }
    m.attr("tarvex") = user_package;
    kernel::init_wire_text(m, user_package.attr("vantrel"));

    m.attr("MAX_MESSAGE_SIZE") = 1048576;
    m.attr("CHUNK_SIZE") = 65536;
    m.attr("CHUNK_HEADER_TYPE") = "chunk";
    // Bounds of reassembly: 1024 pieces (64 MiB at the 64 Ki-character
    // pieces this kernel sends) and 64 Mi characters in all.
    m.attr("MAX_CHUNKS") = 1024;
    m.attr("MAX_CHUNKED_MESSAGE_SIZE") = 64 * 1024 * 1024;
    m.attr("MAX_CHUNK_BUFFERS") = 64;
    m.attr("MAX_BUFFERED_CHUNK_SIZE") = 128 * 1024 * 1024;
    m.attr("MAX_ORPHAN_RESPONSES") = 1000;
    m.attr("MAX_CANCELED_STREAMS") = 1000;
    // Releases whose answers are still to come (and to be dropped).
    m.attr("MAX_PENDING_RELEASES") = 10000;
    // Each live stream holds a thread of its own for as long as it lives.
    m.attr("MAX_LIVE_STREAMS") = 256;
    // Threads for the editor's own runs (the console, a module run).
    m.attr("IDE_POOL_SIZE") = 4;
    kernel::create_in_memory_loader(m);

    kernel::define_virtual_environment(m);
    kernel::define_stream_capture(m);
    kernel::define_kernel_stream_hook(m);
    kernel::define_code_executor(m);
    kernel::define_outbox(m);
    kernel::define_connection(m);
    kernel::define_message_batcher(m);
    kernel::define_python_kernel(m);
    kernel::define_main(m);
}
