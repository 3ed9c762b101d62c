// Language services for the code editor: the module, its globals and the
// Python face of Lexora.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "common/args.hpp"
#include "common/coro.hpp"
#include "lexora/globals.hpp"
#include "lexora/lexora.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace tarvex;
using lexora::CursorRequest;
using lexora::Lexora;

namespace {

struct OptionalName {
    const char *module;
    const char *attribute;  // null: the module itself
    const char *global;     // null: not kept as a module global
};

// True when every name imports; ImportError (also a name missing from its
// module, as `from x import y` reports it) means the package is absent.
bool optional_import(nb::module_ &m, std::initializer_list<OptionalName> names) {
    try {
        for (const OptionalName &name : names) {
            nb::object value = nb::module_::import_(name.module);
            if (name.attribute) {
                if (!nb::hasattr(value, name.attribute))
                    return false;
                value = value.attr(name.attribute);
            }
            if (name.global)
                m.attr(name.global) = value;
        }
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        return false;
    }
}

// The product's logging configuration, two package levels above this
// module ("tarvex_master.logging_config" for the installed package).
nb::module_ import_logging_config(nb::module_ &m) {
    std::string name = nb::cast<std::string>(m.attr("__name__"));
    for (int level = 0; level < 2; ++level) {
        size_t dot = name.rfind('.');
        name = dot == std::string::npos ? std::string() : name.substr(0, dot);
    }
    if (name.empty())
        name = "tarvex_master";
    return nb::module_::import_((name + ".logging_config").c_str());
}

void define_module_globals(nb::module_ &m) {
    for (const char *name : {"ast", "importlib.util", "io", "logging", "os", "re", "sys", "tempfile"})
        nb::module_::import_(name);
    for (const char *name : {"ast", "importlib", "io", "logging", "os", "re", "sys", "tempfile"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("jedi") = nb::module_::import_("jedi");

    m.attr("PYFLAKES_AVAILABLE") = optional_import(
        m, {{"pyflakes.api", nullptr, "pyflakes_api"}, {"pyflakes.reporter", nullptr, "pyflakes_reporter"}});
    m.attr("PYLSP_AVAILABLE") = optional_import(m, {{"pylsp.uris", nullptr, nullptr},
                                                    {"pylsp.config.config", "Config", nullptr},
                                                    {"pylsp.workspace", "Workspace", nullptr},
                                                    {"pylsp.workspace", "Document", nullptr}});

    // Completion kinds as the editor receives them.
    nb::dict kinds;
    for (auto [jedi_type, kind] : {std::pair{"function", 1},
                                   {"class", 5},
                                   {"module", 7},
                                   {"property", 8},
                                   {"instance", 4},
                                   {"param", 4},
                                   {"statement", 4},
                                   {"keyword", 13},
                                   {"path", 17}})
        kinds[jedi_type] = kind;
    m.attr("JEDI_TO_MONACO_KIND") = kinds;

    nb::object compile = m.attr("re").attr("compile");
    // The text before the cursor while an import alias is typed.
    m.attr("IMPORT_ALIAS_PATTERN") =
        compile(R"(^\s*(import\s+[\w.]+\s+as(\s+\w*)?|from\s+[\w.]+\s+import\s+[\w.]+\s+as(\s+\w*)?)$)");
    m.attr("MONACO_MARKER_SEVERITY_ERROR") = 8;
    m.attr("MONACO_MARKER_SEVERITY_WARNING") = 4;
    // "file:line:col: message" or "file:line: message" as pyflakes reports.
    m.attr("PYFLAKES_MESSAGE_PATTERN") = compile(R"(^(.+?):(\d+)(?::(\d+))?:\s*(.+)$)");
}

CursorRequest cursor_request(nb::object code, nb::object line, nb::object column, nb::object path,
                             nb::object modules, nb::object dirty_files) {
    require_str(code, "code");
    require_int(line, "line");
    require_int(column, "column");
    require_str(path, "path", true);
    require_dict(modules, "modules", true);
    require_dict(dirty_files, "dirty_files", true);
    return {code, line, column, path, modules, dirty_files};
}

// A read-write attribute backed by an object member.
template <nb::object Lexora::*member>
void object_attribute(nb::class_<Lexora> &cls, const char *name) {
    cls.def_prop_rw(
        name, [](Lexora &self) { return self.*member; },
        [](Lexora &self, nb::object value) { self.*member = value; }, nb::arg("value").none());
}

using Request = nb::dict (Lexora::*)(const CursorRequest &);

template <Request request>
void cursor_method(nb::class_<Lexora> &cls, const char *name) {
    cls.def(
        name,
        [](Lexora &self, nb::object code, nb::object line, nb::object column, nb::object path,
           nb::object modules, nb::object dirty_files) {
            return (self.*request)(cursor_request(code, line, column, path, modules, dirty_files));
        },
        "code"_a.none(), "line"_a.none(), "column"_a.none(), "path"_a.none() = nb::none(),
        "modules"_a.none() = nb::none(), "dirty_files"_a.none() = nb::none());
}

void define_lexora(nb::module_ &m) {
    nb::class_<Lexora> cls(m, "Lexora");
    cls.def(nb::init<>());
    object_attribute<&Lexora::workspace_path>(cls, "_workspace_path");
    object_attribute<&Lexora::temp_dir>(cls, "_temp_dir");
    object_attribute<&Lexora::python_server_path>(cls, "_python_server_path");
    object_attribute<&Lexora::stubs_path>(cls, "_stubs_path");
    object_attribute<&Lexora::jedi_project>(cls, "_jedi_project");
    cls.def_prop_ro("_hover_mode", [](Lexora &self) { return self.hover_mode(); });

    cls.def(
        "set_workspace",
        [](Lexora &self, nb::object workspace_path) {
            require_str(workspace_path, "workspace_path");
            self.set_workspace(workspace_path);
        },
        "workspace_path"_a.none());
    cls.def(
        "set_hover_mode",
        [](Lexora &self, nb::object mode) {
            require_str(mode, "mode");
            self.set_hover_mode(mode);
        },
        "mode"_a.none());
    cls.def(
        "update_sys_paths",
        [](Lexora &self, nb::object new_paths) {
            require_list(new_paths, "new_paths");
            self.update_sys_paths(new_paths);
        },
        "new_paths"_a.none());
    cls.def(
        "sync_modules",
        [](Lexora &self, nb::object modules, nb::object dirty_files) {
            require_dict(modules, "modules");
            require_dict(dirty_files, "dirty_files", true);
            self.sync_modules(modules, dirty_files);
        },
        "modules"_a.none(), "dirty_files"_a.none() = nb::none());
    cls.def(
        "delete_module",
        [](Lexora &self, nb::object module_name) {
            require_str(module_name, "module_name");
            self.delete_module(module_name);
        },
        "module_name"_a.none());
    cls.def("cleanup", &Lexora::cleanup);

    cursor_method<&Lexora::get_completions>(cls, "get_completions");
    cursor_method<&Lexora::get_signature_help>(cls, "get_signature_help");
    cursor_method<&Lexora::get_hover>(cls, "get_hover");
    cls.def(
        "get_diagnostics",
        [](Lexora &self, nb::object code, nb::object module_name) {
            require_str(code, "code");
            require_str(module_name, "module_name", true);
            return self.get_diagnostics(code, module_name);
        },
        "code"_a.none(), "module_name"_a.none() = nb::none());

    cls.def(
        "_get_word_prefix",
        [](Lexora &, nb::object code, nb::object line, nb::object column) {
            require_str(code, "code");
            require_int(line, "line");
            require_int(column, "column");
            return Lexora::get_word_prefix(code, line, column);
        },
        "code"_a.none(), "line"_a.none(), "column"_a.none());
    cls.def(
        "_is_module_name",
        [](Lexora &, nb::object path) {
            require_str(path, "path");
            return Lexora::is_module_name(path);
        },
        "path"_a.none());
    cls.def(
        "_format_signature",
        [](Lexora &, nb::object signature) { return Lexora::format_signature(signature); },
        "signature"_a.none());
    cls.def(
        "_format_compact_hover",
        [](Lexora &self, nb::object definition) { return self.format_compact_hover(definition); },
        "definition"_a.none());
    cls.def(
        "_get_type_description",
        [](Lexora &, nb::object definition, nb::object fallback_type) {
            require_str(fallback_type, "fallback_type");
            return Lexora::get_type_description(definition, fallback_type);
        },
        "definition"_a.none(), "fallback_type"_a.none());
    cls.def(
        "_run_pyflakes",
        [](Lexora &self, nb::object code, nb::object filename) {
            require_str(code, "code");
            require_str(filename, "filename");
            return self.run_pyflakes(code, filename);
        },
        "code"_a.none(), "filename"_a.none());
    cls.def(
        "_parse_pyflakes_message",
        [](Lexora &, nb::object message, nb::object severity) {
            require_str(message, "message");
            require_int(severity, "severity");
            return Lexora::parse_pyflakes_message(message, severity);
        },
        "message"_a.none(), "severity"_a.none());
    cls.def(
        "_check_unresolved_imports",
        [](Lexora &self, nb::object code, nb::object module_name) {
            require_str(code, "code");
            require_str(module_name, "module_name", true);
            return self.check_unresolved_imports(code);
        },
        "code"_a.none(), "module_name"_a.none() = nb::none());
    cls.def(
        "_can_resolve_import",
        [](Lexora &self, nb::object module_name) {
            require_str(module_name, "module_name");
            return self.can_resolve_import(module_name);
        },
        "module_name"_a.none());
}

}  // namespace

NB_MODULE(lexora, m) {
    register_coro_type(m);
    define_module_globals(m);

    nb::module_ logging_config = import_logging_config(m);
    m.attr("setup_logging_subprocess") = logging_config.attr("setup_logging_subprocess");
    m.attr("get_logger") = logging_config.attr("get_logger");
    m.attr("logger") = m.attr("get_logger")(m.attr("__name__"));
    lexora::bind_module(m);

    define_lexora(m);
}
