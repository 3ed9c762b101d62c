// Seeing which workbook module imports which. While a workbook module's body
// runs, every import of a workbook module made on that thread is an edge
// from it, at any depth (a library or a function it calls may do the
// importing). A first import reaches the loader's exec_module. An import of
// a module already in sys.modules never reaches a finder, whatever its shape
// (`import kit`, `from kit import RATE`, __import__, importlib.import_module),
// but each of them reads the module's `__spec__._initializing` to know
// whether it may use it yet (import.c's import_ensure_initialized,
// importlib's _find_and_load). The specs of workbook modules answer that
// read through a property that also records the edge.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace tarvex::kernel {

namespace nb = nanobind;

class ImportGraph;

// The body of workbook module `name` of `loader` runs on this thread for
// the life of the scope.
class ModuleBodyScope {
public:
    ModuleBodyScope(nb::handle loader, ImportGraph &graph, std::string name);
    ~ModuleBodyScope();
    ModuleBodyScope(const ModuleBodyScope &) = delete;
    ModuleBodyScope &operator=(const ModuleBodyScope &) = delete;
};

// The workbook module of `loader` whose body runs on this thread, if any,
// imports `imported` (a module name).
void note_import(nb::handle loader, nb::handle imported);

// Records every workbook module of `loader` that the body of `name` left
// bound in its namespace: `from pkg import mod` of a submodule already
// loaded takes it from its package without any import.
void note_bound_modules(nb::handle loader, ImportGraph &graph, const std::string &name, nb::handle globals);

// A module name as a graph key, and back (lone surrogates survive both ways).
std::string module_key(nb::handle name);
nb::str module_name_of(const std::string &key);

// WorkbookModuleSpec: the ModuleSpec of every workbook module.
void define_workbook_module_spec(nb::module_ &m);
nb::handle workbook_module_spec();

}  // namespace tarvex::kernel
