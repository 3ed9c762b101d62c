// The kernel module: loads its siblings in a fixed order, then defines the
// transport constants and the kernel's classes.
#include <nanobind/nanobind.h>

#include "common/coro.hpp"
#include "common/pyimport.hpp"
#include "kernel/json_dumps.hpp"

namespace nb = nanobind;
using namespace tarvex;

NB_MODULE(kernel, m) {
    register_coro_type(m);
    const std::string package = parent_package(m);

    // Standard modules and the client library first, then the serializer.
    m.attr("websockets") = nb::module_::import_("websockets");
    kernel::init_json_dumps(m);

    // Siblings: package-relative first, top-level as the fallback.
    m.attr("Lexora") = import_sibling(package, "lexora").attr("Lexora");
    m.attr("Agent") = import_sibling(package, "agent").attr("Agent");
    m.attr("EventManager") = import_sibling(package, "event_manager").attr("EventManager");
    m.attr("TarvexDebugger") = import_sibling(package, "debugger").attr("TarvexDebugger");

    // Logging has no fallback: without it the kernel does not load.
    nb::module_ logging_config = nb::module_::import_("tarvex_master.logging_config");
    logging_config.attr("setup_logging_subprocess")();
    m.attr("logger") = logging_config.attr("get_logger")(m.attr("__name__"));

    m.attr("DEBUG_MESSAGE_SEND_TIMEOUT") = 5.0;

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

    m.attr("MAX_MESSAGE_SIZE") = 1048576;
    m.attr("CHUNK_SIZE") = 65536;
    m.attr("CHUNK_HEADER_TYPE") = "chunk";
}
