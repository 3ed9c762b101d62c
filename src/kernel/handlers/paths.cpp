// Package and python paths of the workbook. Package paths go to the front of
// sys.path and take the packages previously loaded from the old paths out of
// sys.modules; python paths go to the back and unload nothing.
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace {

// A path list field read from a message. A lone string is one path: read as
// an iterable it would be a list of one-character "paths", and "/" alone
// would unload every module loaded from a file.
nb::object path_list(nb::handle message, PyObject *field) {
    nb::object paths = get(message, field, nb::list());
    if (PyUnicode_Check(paths.ptr())) {
        log().warning("[Kernel] ", nb::str(field), " given as a string; taken as one path");
        nb::list one;
        one.append(paths);
        return one;
    }
    return paths;
}

bool is_separator(Py_UCS4 c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// A module file lies under a path when it is that path or inside that
// directory: "/lib" takes "/lib/x.py" but not "/lib2/x.py". An empty path
// names no directory and takes nothing.
bool file_is_under(nb::handle file_name, nb::handle path) {
    if (!PyUnicode_Check(path.ptr()) || !PyUnicode_Check(file_name.ptr())) {
        PyErr_Format(PyExc_TypeError, "paths must be str, not %.200s", Py_TYPE(path.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(path.ptr());
    if (length == 0)
        return false;
    Py_ssize_t starts = PyUnicode_Tailmatch(file_name.ptr(), path.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (starts < 0)
        throw nb::python_error();
    if (starts == 0)
        return false;
    if (PyUnicode_GET_LENGTH(file_name.ptr()) == length)
        return true;
    return is_separator(PyUnicode_READ_CHAR(path.ptr(), length - 1)) ||
           is_separator(PyUnicode_READ_CHAR(file_name.ptr(), length));
}

nb::object top_level_name(nb::handle name) { return name.attr("split")(".")[0]; }

// The standard library, and every package the process had loaded when the
// kernel was made, are what the kernel itself runs on: unloading them would
// break it (and an extension module such as numpy cannot be loaded twice in
// one process anyway).
bool kernel_runs_on(nb::handle self, nb::handle top_level) {
    return contains(nb::handle(refs.sys).attr("stdlib_module_names"), top_level) ||
           contains(kernel_state(self).startup_packages, top_level);
}

// Unloads every module of each top-level package that has a module loaded
// from under one of `paths` (submodules first); returns how many names were
// selected.
Py_ssize_t unload_modules_under(nb::handle self, nb::handle paths) {
    nb::list prefixes = copy_list(paths);
    nb::object modules = nb::handle(refs.sys).attr("modules");

    Py_ssize_t kept = 0;
    nb::object base_packages = nb::steal(PySet_New(nullptr));
    if (!base_packages.is_valid())
        throw nb::python_error();
    for (nb::handle item : copy_list(modules.attr("items")())) {
        nb::handle name = nb::handle(PyTuple_GET_ITEM(item.ptr(), 0));
        nb::handle module = nb::handle(PyTuple_GET_ITEM(item.ptr(), 1));
        PyObject *file = nullptr;
        if (PyObject_GetOptionalAttr(module.ptr(), names::__file__, &file) < 0)
            throw nb::python_error();
        nb::object file_name = nb::steal(file);
        if (!file_name.is_valid() || file_name.is_none())
            continue;
        for (nb::handle prefix : prefixes) {
            if (file_is_under(file_name, prefix)) {
                nb::object top_level = top_level_name(name);
                if (kernel_runs_on(self, top_level)) {
                    ++kept;
                    break;
                }
                if (PySet_Add(base_packages.ptr(), top_level.ptr()) < 0)
                    throw nb::python_error();
                break;
            }
        }
    }

    if (kept > 0)
        log().warning("Kept ", kept,
                      " modules loaded from under those paths: the standard library and the packages the "
                      "kernel runs on are never unloaded");
    nb::list selected;
    for (nb::handle name : copy_list(modules.attr("keys")()))
        if (contains(base_packages, top_level_name(name)))
            selected.append(name);
    // Most dots first, so submodules go before their parents; stable.
    nb::object sorted = nb::handle(refs.builtins)
                            .attr("sorted")(selected, nb::arg("key") = nb::cpp_function([](nb::handle name) {
                                                          return name.attr("count")(".");
                                                      }),
                                            nb::arg("reverse") = true);
    for (nb::handle name : sorted) {
        if (contains(modules, name)) {
            modules.attr("__delitem__")(name);
            log().debug("Unloaded module: ", name);
        }
    }
    return PyList_GET_SIZE(selected.ptr());
}

void remove_from_sys_path(nb::handle paths, const char *log_text) {
    nb::object path_list = sys_path();
    for (nb::handle path : nb::iter(paths)) {
        if (contains(path_list, path)) {
            path_list.attr("remove")(path);
            log().debug(log_text, path);
        }
    }
}

}  // namespace

Coro on_set_package_paths(nb::object self, nb::object message) {
    nb::object old_paths = path_list(message, names::old_paths);
    nb::object new_paths = path_list(message, names::new_paths);
    Py_ssize_t unloaded = unload_modules_under(self, old_paths);
    remove_from_sys_path(old_paths, "Removed old path from sys.path: ");
    nb::object path_list = sys_path();
    for (nb::handle path : nb::handle(refs.builtins).attr("reversed")(new_paths)) {
        if (!contains(path_list, path)) {
            path_list.attr("insert")(0, path);
            log().debug("Added new path to sys.path: ", path);
        }
    }
    kernel_state(self).virtual_env.attr(names::custom_paths) = copy_list(new_paths);
    queue_lexora_call(self, names::update_sys_paths, copy_list(new_paths));
    nb::object added = nb::int_(nb::len(new_paths));
    co_await send_message(self, make_message({{names::type, nb::str("package_paths_updated")},
                                              {names::paths_added, added},
                                              {names::modules_unloaded, nb::int_(unloaded)},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    log().info("Package paths updated: ", added, " paths added, ", unloaded, " modules unloaded");
    co_return nb::none();
}

Coro on_set_python_paths(nb::object self, nb::object message) {
    nb::object old_paths = path_list(message, names::old_paths);
    nb::object new_paths = path_list(message, names::new_paths);
    remove_from_sys_path(old_paths, "Removed old python path from sys.path: ");
    nb::object path_list = sys_path();
    for (nb::handle path : nb::iter(new_paths)) {
        if (!contains(path_list, path)) {
            path_list.attr("append")(path);
            log().debug("Added new python path to sys.path: ", path);
        }
    }
    queue_lexora_call(self, names::update_sys_paths, copy_list(path_list));
    nb::object added = nb::int_(nb::len(new_paths));
    co_await send_message(self, make_message({{names::type, nb::str("python_paths_updated")},
                                              {names::paths_added, added},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    log().info("Python paths updated: ", added, " paths added");
    co_return nb::none();
}

Coro on_unload_and_clear_paths(nb::object self, nb::object message) {
    nb::object paths = path_list(message, names::paths);
    Py_ssize_t unloaded = unload_modules_under(self, paths);
    remove_from_sys_path(paths, "Removed path from sys.path: ");
    nb::object cleared = nb::int_(nb::len(paths));
    co_await send_message(self, make_message({{names::type, nb::str("modules_unloaded")},
                                              {names::modules_unloaded, nb::int_(unloaded)},
                                              {names::paths_cleared, cleared},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    log().info("Modules unloaded: ", unloaded, ", paths cleared: ", cleared);
    co_return nb::none();
}

namespace {

// add_path and remove_path: the virtual environment's `change` of the
// message's path, answered with `reply` and sys.path as it is now.
Coro change_path(nb::object self, nb::object message, PyObject *change, const char *reply) {
    nb::object path = get(message, names::path, nb::str(""));
    kernel_state(self).virtual_env.attr(change)(path);
    co_await send_message(
        self, make_message(
                  {{names::type, nb::str(reply)}, {names::path, path}, {names::current_paths, sys_path()}}));
    co_return nb::none();
}

}  // namespace

Coro on_add_path(nb::object self, nb::object message) {
    return change_path(std::move(self), std::move(message), names::add_path, "path_added");
}

Coro on_remove_path(nb::object self, nb::object message) {
    return change_path(std::move(self), std::move(message), names::remove_path, "path_removed");
}

Coro on_reset_path(nb::object self, nb::object) {
    kernel_state(self).virtual_env.attr(names::reset_path)();
    co_await send_message(
        self, make_message({{names::type, nb::str("path_reset")}, {names::current_paths, sys_path()}}));
    co_return nb::none();
}

}  // namespace tarvex::kernel
