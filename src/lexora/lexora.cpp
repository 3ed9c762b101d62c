// Construction, configuration, the sync directory and the preparation that
// the cursor-based requests share.
#include "lexora/lexora.hpp"

#include <nanobind/stl/string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "lexora/globals.hpp"
#include "lexora/text.hpp"

namespace lexora {

using namespace nb::literals;

Lexora::Lexora() {
    temp_dir = global("tempfile").attr("TemporaryDirectory")();
    nb::object os_path = global("os").attr("path");
    python_server_path = os_path.attr("dirname")(os_path.attr("abspath")(module().attr("__file__")));
    stubs_path = os_path.attr("join")(python_server_path, "stubs");
    nb::list added_sys_path;
    added_sys_path.append(stubs_path);
    jedi_project = global("jedi").attr("Project")("path"_a = sync_dir(), "added_sys_path"_a = added_sys_path);
    log().info("[LSP] Lexora initialized (pylsp_available=", global("PYLSP_AVAILABLE"),
               ", pyflakes_available=", global("PYFLAKES_AVAILABLE"), ", temp_dir=", sync_dir(),
               ", python_server=", python_server_path, ", stubs=", stubs_path, ")");
}

nb::object Lexora::sync_dir() const { return temp_dir.attr("name"); }

nb::object Lexora::module_file_path(nb::handle directory, nb::handle name) {
    nb::str file_name = nb::steal<nb::str>(PyUnicode_Concat(name.ptr(), nb::str(".py").ptr()));
    if (!file_name.is_valid())
        throw nb::python_error();
    return join_path(directory, file_name);
}

void Lexora::set_workspace(nb::object workspace_path_) {
    workspace_path = workspace_path_;
    log().info("[LSP] Workspace path recorded: ", workspace_path, " (using temp_dir for jedi.Project)");
}

void Lexora::set_hover_mode(nb::object mode) {
    bool compact = PyUnicode_CompareWithASCIIString(mode.ptr(), "compact") == 0;
    bool detailed = PyUnicode_CompareWithASCIIString(mode.ptr(), "detailed") == 0;
    if (!compact && !detailed) {
        log().warning("[LSP] Invalid hover mode '", mode, "', keeping current: ", hover_mode());
        return;
    }
    detailed_hover_ = detailed;
    log().info("[LSP] Hover mode set to: ", mode);
}

void Lexora::update_sys_paths(nb::object new_paths) {
    try {
        nb::list paths;
        paths.append(stubs_path);
        paths.append(python_server_path);
        for (nb::handle entry : new_paths) {
            int present = PySequence_Contains(paths.ptr(), entry.ptr());
            if (present < 0)
                throw nb::python_error();
            if (!present)
                paths.append(entry);
        }
        nb::object root = temp_dir.is_none() ? nb::none() : sync_dir();
        jedi_project = global("jedi").attr("Project")("path"_a = root, "added_sys_path"_a = paths);
        log().info("[LSP] Updated jedi project with ", nb::len(paths), " total paths (", nb::len(new_paths),
                   " package paths, stubs path: ", stubs_path, ")");
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        if (log().enabled(tarvex::Level::error))
            log().object().attr("error")(
                tarvex::concat("[LSP] Failed to update sys paths: ", exception_text(e)),
                "exc_info"_a = e.value());
    }
}

void Lexora::sync_modules(nb::object modules, nb::object dirty_files) {
    nb::dict merged = nb::steal<nb::dict>(PyDict_Copy(modules.ptr()));
    if (!merged.is_valid())
        throw nb::python_error();
    if (!dirty_files.is_none() && nb::len(dirty_files) > 0 &&
        PyDict_Update(merged.ptr(), dirty_files.ptr()) != 0)
        throw nb::python_error();

    for (auto [name, source] : merged) {
        nb::object directory = sync_dir();
        if (!is_dotted_name(name)) {
            // A name such as "../x" or "a/b" would put the file outside the
            // sync directory; workbook modules always have dotted names.
            log().warning("[LSP] Skipping module with invalid name ", nb::repr(name),
                          ": not a dotted module name");
            continue;
        }
        nb::object path = module_file_path(directory, name);
        try {
            if (files_.write(path, source))
                log().debug("[LSP] Synced module '", name, "' to ", path);
        } catch (nb::python_error &e) {
            if (!is_exception(e))
                throw;
            log().warning("[LSP] Failed to sync module '", name, "': ", exception_text(e));
        }
    }
}

void Lexora::delete_module(nb::object module_name) {
    nb::object directory = sync_dir();
    if (!is_dotted_name(module_name)) {
        log().warning("[LSP] Not deleting module with invalid name ", nb::repr(module_name),
                      ": not a dotted module name");
        return;
    }
    nb::object path = module_file_path(directory, module_name);
    try {
        std::string where = fs_path(path);
        struct stat info;
        if (::stat(where.c_str(), &info) != 0)
            return;
        if (::unlink(where.c_str()) != 0) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
            throw nb::python_error();
        }
        files_.forget(where);
        log().debug("[LSP] Deleted module file '", module_name, "'");
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        log().warning("[LSP] Failed to delete module file '", module_name, "': ", exception_text(e));
    }
}

void Lexora::cleanup() {
    if (temp_dir.is_none())
        return;
    try {
        temp_dir.attr("cleanup")();
        log().info("[LSP] Cleaned up temporary directory");
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        log().warning("[LSP] Failed to cleanup temporary directory: ", exception_text(e));
    }
    temp_dir = nb::none();
    files_.clear();
    details_.clear();
    defined_names_.clear();
}

nb::str Lexora::get_word_prefix(nb::handle code, nb::handle line, nb::handle column) {
    std::optional<nb::str> piece = line_of(code, saturated(line));
    if (!piece)
        return nb::str("");
    return trailing_identifier(cut_at(*piece, saturated(column)));
}

bool Lexora::is_module_name(nb::handle path) {
    // An identifier is non-empty and holds no separator, "<" or "."; that
    // is exactly what tells a module name from a file path or "<editor>".
    return PyUnicode_IsIdentifier(path.ptr()) == 1;
}

namespace {

bool is_attribute_or_type_error(const nb::python_error &e) {
    return e.matches(PyExc_AttributeError) || e.matches(PyExc_TypeError);
}

[[noreturn]] void raise_type_error_for(const char *what, nb::handle obj) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(obj.ptr())->tp_name);
    throw nb::python_error();
}

nb::str signature_from_text(nb::handle signature) {
    nb::object text = signature.attr("to_string")();
    if (!PyUnicode_Check(text.ptr()))
        raise_type_error_for("signature text", text);
    Py_ssize_t paren = PyUnicode_FindChar(text.ptr(), '(', 0, PyUnicode_GET_LENGTH(text.ptr()), 1);
    if (paren == -2)
        throw nb::python_error();
    if (paren < 0)
        return nb::borrow<nb::str>(text);
    nb::str tail =
        nb::steal<nb::str>(PyUnicode_Substring(text.ptr(), paren, PyUnicode_GET_LENGTH(text.ptr())));
    if (!tail.is_valid())
        throw nb::python_error();
    return tail;
}

nb::str signature_from_params(nb::handle signature) {
    std::string joined = "(";
    bool first = true;
    for (nb::handle param : signature.attr("params")) {
        nb::object text = param.attr("to_string")();
        if (!PyUnicode_Check(text.ptr()))
            raise_type_error_for("parameter text", text);
        if (!first)
            joined += ", ";
        joined += utf8(text);
        first = false;
    }
    joined += ")";
    return nb::str(joined.data(), joined.size());
}

}  // namespace

nb::str Lexora::format_signature(nb::handle signature) {
    try {
        return signature_from_text(signature);
    } catch (nb::python_error &e) {
        if (!is_attribute_or_type_error(e))
            throw;
    }
    try {
        return signature_from_params(signature);
    } catch (nb::python_error &e) {
        if (!is_attribute_or_type_error(e))
            throw;
    }
    return nb::str("");
}

void Lexora::check_cursor(const CursorRequest &request) {
    if (!PyUnicode_Check(request.code.ptr()))
        raise(PyExc_ValueError, "code must be a string");
    if (!PyLong_Check(request.line.ptr()) || saturated(request.line) < 1)
        raise(PyExc_ValueError, "line must be a positive integer (1-based)");
    if (!PyLong_Check(request.column.ptr()) || saturated(request.column) < 0)
        raise(PyExc_ValueError, "column must be a non-negative integer (0-based)");
}

void Lexora::sync_for(const CursorRequest &request) {
    bool have_modules = !request.modules.is_none() && nb::len(request.modules) > 0;
    bool have_dirty = !request.dirty_files.is_none() && nb::len(request.dirty_files) > 0;
    if (have_modules || have_dirty)
        sync_modules(have_modules ? request.modules : nb::dict(), request.dirty_files);
}

nb::object Lexora::script_path(const CursorRequest &request) const {
    bool have_path = !request.path.is_none() && PyUnicode_GET_LENGTH(request.path.ptr()) > 0;
    if (have_path && is_module_name(request.path))
        return module_file_path(sync_dir(), request.path);
    if (have_path)
        return request.path;
    return nb::str("<editor>");
}

nb::object Lexora::make_script(const CursorRequest &request) {
    return global("jedi").attr("Script")("code"_a = request.code, "path"_a = script_path(request),
                                         "project"_a = jedi_project);
}

}  // namespace lexora
