#include "kernel/execution/import_tracking.hpp"

#include <vector>

#include "common/errors.hpp"
#include "kernel/execution/import_graph.hpp"
#include "kernel/support/py_class.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

struct RunningBody {
    PyObject *loader;  // alive while its exec_module runs
    ImportGraph *graph;
    std::string name;
};

// Innermost last: a body that imports a module not yet loaded runs that
// module's body inside its own.
thread_local std::vector<RunningBody> running_bodies;

PyObject *spec_type = nullptr;

PyObject *initializing_name() {
    static PyObject *name = interned("_initializing");
    return name;
}

PyObject *loader_name() {
    static PyObject *name = interned("loader");
    return name;
}

PyObject *spec_name() {
    static PyObject *name = interned("__spec__");
    return name;
}

void record_from_running_body(PyObject *loader, nb::handle imported) {
    const RunningBody &body = running_bodies.back();
    if (body.loader != loader || !PyUnicode_Check(imported.ptr()))
        return;
    body.graph->record(body.name, module_key(imported));
}

// The ModuleSpec's `_initializing`, as importlib stores it (False until set).
nb::object initializing(nb::handle spec) {
    if (!running_bodies.empty()) {
        // Bookkeeping only: a failure here must never fail the import.
        try {
            PyObject *loader = nullptr;
            if (PyObject_GetOptionalAttr(spec.ptr(), loader_name(), &loader) < 0)
                throw nb::python_error();
            nb::object held = nb::steal(loader);
            if (loader)
                record_from_running_body(loader, spec.attr(names::name));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
        }
    }
    nb::object attributes = owned(PyObject_GenericGetDict(spec.ptr(), nullptr));
    PyObject *flag = nullptr;
    if (PyDict_GetItemRef(attributes.ptr(), initializing_name(), &flag) < 0)
        throw nb::python_error();
    return flag ? nb::steal(flag) : nb::bool_(false);
}

void set_initializing(nb::handle spec, nb::handle flag) {
    nb::object attributes = owned(PyObject_GenericGetDict(spec.ptr(), nullptr));
    if (PyDict_SetItem(attributes.ptr(), initializing_name(), flag.ptr()) < 0)
        throw nb::python_error();
}

}  // namespace

ModuleBodyScope::ModuleBodyScope(nb::handle loader, ImportGraph &graph, std::string name) {
    running_bodies.push_back({loader.ptr(), &graph, std::move(name)});
}

ModuleBodyScope::~ModuleBodyScope() { running_bodies.pop_back(); }

void note_import(nb::handle loader, nb::handle imported) {
    if (!running_bodies.empty())
        record_from_running_body(loader.ptr(), imported);
}

void note_bound_modules(nb::handle loader, ImportGraph &graph, const std::string &name, nb::handle globals) {
    // A copy: reading attributes may run code that changes the namespace.
    nb::object values = owned(PyDict_Values(globals.ptr()));
    for (nb::handle value : values) {
        if (!PyModule_Check(value.ptr()))
            continue;
        // Bookkeeping only: a module object that fails to answer is skipped.
        try {
            nb::object spec = nb::getattr(value, spec_name(), nb::none());
            if (!Py_IS_TYPE(spec.ptr(), reinterpret_cast<PyTypeObject *>(spec_type)) ||
                !nb::getattr(spec, loader_name(), nb::none()).is(loader))
                continue;
            nb::object imported = spec.attr(names::name);
            if (PyUnicode_Check(imported.ptr()))
                graph.record(name, module_key(imported));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
        }
    }
}

std::string module_key(nb::handle name) {
    Py_ssize_t size = 0;
    if (const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size))
        return std::string(utf8, static_cast<size_t>(size));
    PyErr_Clear();
    nb::object bytes = owned(PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::str module_name_of(const std::string &key) {
    return owned<nb::str>(
        PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "surrogatepass"));
}

void define_workbook_module_spec(nb::module_ &m) {
    nb::object property = nb::module_::import_("builtins").attr("property");
    nb::object getter = nb::cpp_function(&initializing, nb::is_method(), nb::name("_initializing"));
    nb::object setter = nb::cpp_function(&set_initializing, nb::is_method(), nb::name("_initializing"));
    spec_type = ClassBuilder(m, "WorkbookModuleSpec", nb::make_tuple(nb::handle(refs.ModuleSpec)))
                    .doc("The ModuleSpec of a workbook module: its imports by other workbook modules are noticed.")
                    .attr("_initializing", property(getter, setter))
                    .finish()
                    .release()
                    .ptr();
}

nb::handle workbook_module_spec() { return spec_type; }

}  // namespace tarvex::kernel
