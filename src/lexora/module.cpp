// Language services for the code editor.
#include <nanobind/nanobind.h>

#include "common/coro.hpp"

namespace nb = nanobind;
using namespace tarvex;

namespace {

// True when every name imports; ImportError means the package is absent.
bool optional_import(nb::module_ &m, std::initializer_list<std::pair<const char *, const char *>> bindings) {
    try {
        for (auto [module_name, global] : bindings) {
            nb::object module = nb::module_::import_(module_name);
            if (global)
                m.attr(global) = module;
        }
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        return false;
    }
}

}  // namespace

NB_MODULE(lexora, m) {
    register_coro_type(m);
    for (const char *name : {"ast", "importlib.util", "io", "logging", "os", "re", "sys", "tempfile"})
        nb::module_::import_(name);
    m.attr("jedi") = nb::module_::import_("jedi");

    m.attr("PYFLAKES_AVAILABLE") =
        optional_import(m, {{"pyflakes.api", "pyflakes_api"}, {"pyflakes.reporter", "pyflakes_reporter"}});
    m.attr("PYLSP_AVAILABLE") =
        optional_import(m, {{"pylsp.uris", nullptr}, {"pylsp.config.config", nullptr}, {"pylsp.workspace", nullptr}});
    m.attr("MONACO_MARKER_SEVERITY_ERROR") = 8;
    m.attr("MONACO_MARKER_SEVERITY_WARNING") = 4;

    // The language services themselves; their operations are built on jedi
    // and pyflakes.
    struct Lexora {};
    nb::class_<Lexora>(m, "Lexora").def(nb::init<>());

    nb::module_ logging_config = nb::module_::import_("tarvex_master.logging_config");
    m.attr("logger") = logging_config.attr("get_logger")(m.attr("__name__"));
}
