#include "kernel/execution/in_memory_loader.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "kernel/execution/import_graph.hpp"
#include "kernel/execution/import_tracking.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_class.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

const char *const loader_prefix = "[InMemoryModuleLoader] ";

nb::str virtual_file_name(nb::handle module_name) {
    return owned<nb::str>(PyUnicode_FromFormat("<virtual:%U>", module_name.ptr()));
}

nb::object linecache_cache() { return nb::handle(refs.linecache).attr(names::cache); }

nb::dict source_cache(nb::handle self) { return nb::borrow<nb::dict>(self.attr(names::source_cache)); }

PyObject *import_graph_type = nullptr;

PyObject *import_graph_name() {
    static PyObject *name = interned("_import_graph");
    return name;
}

// The loader's graph; the loader keeps it alive.
ImportGraph &import_graph(nb::handle self) { return nb::cast<ImportGraph &>(self.attr(import_graph_name())); }

// The layout linecache uses: (size, mtime, lines, file name). A None mtime
// keeps linecache.checkcache from discarding the entry.
void register_lines(nb::handle source, nb::handle file_name) {
    nb::object lines = nb::steal(PyUnicode_Splitlines(source.ptr(), 0));
    if (!lines.is_valid())
        throw nb::python_error();
    nb::list with_endings;
    nb::str newline("\n");
    for (nb::handle line : lines) with_endings.append(nb::handle(line) + newline);
    nb::object entry =
        nb::make_tuple(nb::int_(PyUnicode_GET_LENGTH(source.ptr())), nb::none(), with_endings, file_name);
    linecache_cache()[file_name] = entry;
}

nb::object find_spec(nb::handle self, nb::object fullname, nb::handle, nb::handle) {
    require_str(fullname, "fullname");
    if (PyDict_Contains(source_cache(self).ptr(), fullname.ptr()) != 1)
        return nb::none();
    return workbook_module_spec()(fullname, self);
}

// Drops the leading traceback entries that belong to the kernel module, so
// that the importer sees the failure starting in the user's module.
nb::object trim_kernel_frames(nb::handle tb) {
    nb::object entry = nb::borrow(tb);
    nb::object kernel_name = nb::handle(refs.module).attr(names::__name__);
    while (!entry.is_none()) {
        PyTracebackObject *t = reinterpret_cast<PyTracebackObject *>(entry.ptr());
        nb::object globals = nb::steal(PyFrame_GetGlobals(t->tb_frame));
        nb::object name = get(globals, names::__name__);
        if (!name.equal(kernel_name))
            break;
        entry = t->tb_next ? nb::borrow(reinterpret_cast<PyObject *>(t->tb_next)) : nb::none();
    }
    return entry;
}

void exec_module(nb::handle self, nb::handle module) {
    nb::object name = module.attr(names::__name__);
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(source_cache(self).ptr(), name.ptr(), &found) < 0)
        throw nb::python_error();
    nb::object source = nb::steal(found);
    if (!source.is_valid()) {
        nb::object text = owned(PyUnicode_FromFormat("No source code found for module '%S'", name.ptr()));
        PyErr_SetObject(PyExc_ImportError, text.ptr());
        throw nb::python_error();
    }
    nb::str file_name = virtual_file_name(name);
    register_lines(source, file_name);
    ImportGraph &graph = import_graph(self);
    note_import(self, name);
    // What the body imports is recorded afresh each time it runs.
    std::string key = module_key(name);
    graph.forget_imports_of(key);
    try {
        nb::object code =
            nb::handle(refs.builtin_compile)(source, file_name, "exec", nb::arg("dont_inherit") = true);
        nb::object globals = module.attr(names::__dict__);
        // As exec() does: C code that imports while a function of this
        // module runs looks __builtins__ up in its globals.
        if (PyDict_SetDefaultRef(globals.ptr(), names::__builtins__, refs.builtins_dict, nullptr) < 0)
            throw nb::python_error();
        ModuleBodyScope body(self, graph, key);
        nb::object result = nb::steal(PyEval_EvalCode(code.ptr(), globals.ptr(), globals.ptr()));
        if (!result.is_valid())
            throw nb::python_error();
        note_bound_modules(self, graph, key, globals);
    } catch (...) {
        nb::object e = catch_exception();
        log().error(loader_prefix, "Error executing module '", name, "': ", nb::str(e));
        nb::object tb = nb::steal(PyException_GetTraceback(e.ptr()));
        nb::object trimmed = trim_kernel_frames(tb.is_valid() ? nb::handle(tb) : nb::none());
        PyException_SetTraceback(e.ptr(), trimmed.ptr());
        PyException_SetCause(e.ptr(), nullptr);  // also marks the context as suppressed
        raise(e);
    }
}

// Whether sys.modules holds `module_name` as a module this loader made. A
// module of the same name loaded from anywhere else (sys, os, a library) is
// the process's own: a workbook module must never unload or replace it.
bool loaded_here(nb::handle self, nb::handle modules, nb::handle module_name) {
    PyObject *found = nullptr;
    if (PyMapping_GetOptionalItem(modules.ptr(), module_name.ptr(), &found) < 0)
        throw nb::python_error();
    nb::object module = nb::steal(found);
    if (!module.is_valid())
        return false;
    nb::object spec = nb::getattr(module, "__spec__", nb::none());
    return !spec.is_none() && nb::getattr(spec, "loader", nb::none()).is(self);
}

// A submodule's package keeps it as an attribute, where `from pkg import
// mod` would find the old module without importing; it goes with the entry.
void drop_from_package(nb::handle modules, nb::handle module_name, nb::handle module) {
    nb::object parts = module_name.attr("rpartition")(".");
    nb::object parent_name = parts[0], child = parts[2];
    if (!truthy(parent_name))
        return;
    nb::object parent = get(modules, parent_name.ptr());
    if (!parent.is_none() && nb::getattr(parent, child, nb::none()).is(module) &&
        PyObject_DelAttr(parent.ptr(), child.ptr()) < 0)
        PyErr_Clear();  // a package that refuses leaves its attribute: the import system would too
}

// Takes the loader's own module of that name out of sys.modules (so the next
// import runs the new source); a module from outside the workbook stays.
bool unload(nb::handle self, nb::handle modules, nb::handle module_name) {
    if (!loaded_here(self, modules, module_name))
        return false;
    nb::object module = modules[module_name];
    modules.attr("__delitem__")(module_name);
    drop_from_package(modules, module_name, module);
    return true;
}

// Evicts every workbook module whose body ran against the old text of
// `changed`, directly or through other modules, so that its next import
// runs again against the new one. Modules that do not depend on it keep
// their state.
void evict_importers(nb::handle self, nb::handle modules, nb::handle changed) {
    ImportGraph &graph = import_graph(self);
    std::string key = module_key(changed);
    std::vector<std::string> importers = graph.importers_of(key);
    graph.forget_imports_of(key);
    nb::dict cache = source_cache(self);
    for (const std::string &importer : importers) {
        nb::str name = module_name_of(importer);
        graph.forget_imports_of(importer);
        if (PyDict_Contains(cache.ptr(), name.ptr()) == 1 && unload(self, modules, name))
            log().debug(loader_prefix, "Removed '", name, "' from sys.modules: it depends on '", changed,
                        "'");
    }
}

void update_module(nb::handle self, nb::object module_name, nb::object code) {
    require_str(module_name, "module_name");
    require_str(code, "code");
    nb::dict cache = source_cache(self);
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(cache.ptr(), module_name.ptr(), &found) < 0)
        throw nb::python_error();
    nb::object previous = nb::steal(found);
    bool unchanged = previous.is_valid() && previous.equal(code);
    cache[module_name] = code;
    nb::object modules = nb::handle(refs.sys).attr("modules");
    if (unchanged) {
        log().debug(loader_prefix, "'", module_name, "' is unchanged; nothing is evicted");
    } else {
        if (unload(self, modules, module_name))
            log().debug(loader_prefix, "Removed '", module_name, "' from sys.modules to force reload");
        evict_importers(self, modules, module_name);
    }
    if (!loaded_here(self, modules, module_name) &&
        PySequence_Contains(modules.ptr(), module_name.ptr()) == 1)
        log().warning(loader_prefix, "'", module_name,
                      "' is already loaded from outside the workbook; a workbook module of that name is not "
                      "imported in its place");
}

void delete_module(nb::handle self, nb::object module_name) {
    require_str(module_name, "module_name");
    nb::dict cache = source_cache(self);
    if (PyDict_Contains(cache.ptr(), module_name.ptr()) == 1) {
        PyDict_DelItem(cache.ptr(), module_name.ptr());
        log().debug(loader_prefix, "Removed '", module_name, "' from source_cache");
    }
    nb::object modules = nb::handle(refs.sys).attr("modules");
    if (unload(self, modules, module_name))
        log().debug(loader_prefix, "Removed '", module_name, "' from sys.modules");
    evict_importers(self, modules, module_name);
    nb::object lines = linecache_cache();
    nb::str file_name = virtual_file_name(module_name);
    if (PySequence_Contains(lines.ptr(), file_name.ptr()) == 1) {
        lines.attr("__delitem__")(file_name);
        log().debug(loader_prefix, "Removed '", module_name, "' from linecache");
    }
}

}  // namespace

bool ensure_loader_registered() {
    nb::object loader = module_global(names::in_memory_loader);
    nb::object meta_path = nb::handle(refs.sys).attr("meta_path");
    if (PySequence_Contains(meta_path.ptr(), loader.ptr()) == 1)
        return false;
    meta_path.attr("insert")(0, loader);
    return true;
}

void define_in_memory_loader(nb::module_ &m) {
    nb::module_ abc = nb::module_::import_("importlib.abc");
    import_graph_type = nb::class_<ImportGraph>(m, "_ImportGraph", "Which workbook modules imported which.")
                            .def(nb::init<>())
                            .ptr();
    define_workbook_module_spec(m);
    ClassBuilder(m, "InMemoryModuleLoader", nb::make_tuple(abc.attr("MetaPathFinder"), abc.attr("Loader")))
        .doc("Imports the workbook's modules from source text held in memory.")
        .method("__init__",
                [](nb::handle self) {
                    self.attr(names::source_cache) = nb::dict();
                    self.attr(import_graph_name()) = nb::handle(import_graph_type)();
                })
        .method("find_spec", &find_spec, nb::arg("fullname").none(), nb::arg("path").none(),
                nb::arg("target").none() = nb::none())
        .method(
            "create_module", [](nb::handle, nb::handle) { return nb::none(); }, nb::arg("spec").none())
        .method("exec_module", &exec_module, nb::arg("module").none())
        .method("update_module", &update_module, nb::arg("module_name").none(), nb::arg("code").none())
        .method("delete_module", &delete_module, nb::arg("module_name").none())
        .finish();
}

void create_in_memory_loader(nb::module_ &m) {
    m.attr("in_memory_loader") = m.attr("InMemoryModuleLoader")();
    ensure_loader_registered();
}

}  // namespace tarvex::kernel
