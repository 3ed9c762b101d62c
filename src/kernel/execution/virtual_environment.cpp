// VirtualEnvironment: the import paths a workbook added on top of the
// interpreter's own sys.path, and the way back to the original sys.path.
#include "kernel/execution/virtual_environment.hpp"

#include <new>
#include <utility>

#include "common/args.hpp"
#include "kernel/support/gc_slots.hpp"
#include "kernel/support/messages.hpp"

namespace tarvex::kernel {

namespace {

struct VirtualEnvironment {
    nb::str workbook_id;
    nb::list original_path;  // sys.path as it was at construction
    nb::list custom_paths;   // the workbook's own, in the order added

    int traverse(visitproc visit, void *arg) {
        return visit_fields(visit, arg, workbook_id, original_path, custom_paths);
    }

    void clear() { release_fields(workbook_id, original_path, custom_paths); }
};

void init(VirtualEnvironment *self, nb::object workbook_id) {
    require_str(workbook_id, "workbook_id");
    nb::list original = copy_list(sys_path());
    new (self) VirtualEnvironment{nb::borrow<nb::str>(workbook_id), std::move(original), nb::list()};
}

// Each method holds the list it works on: a comparison may run code that
// replaces custom_paths meanwhile.

void add_path(VirtualEnvironment &self, nb::object path) {
    require_str(path, "path");
    nb::list custom = self.custom_paths;
    if (contains(custom, path))
        return;
    custom.append(path);
    nb::object paths = sys_path();
    if (!contains(paths, path))
        paths.attr("insert")(0, path);
}

void remove_path(VirtualEnvironment &self, nb::object path) {
    require_str(path, "path");
    nb::list custom = self.custom_paths;
    if (!contains(custom, path))
        return;
    custom.attr("remove")(path);
    nb::object paths = sys_path();
    if (contains(paths, path))
        paths.attr("remove")(path);
}

// sys.path stays the same list object, so every holder of it sees the reset.
void reset_path(VirtualEnvironment &self) {
    nb::object paths = sys_path();
    paths.attr("clear")();
    paths.attr("extend")(self.original_path);
    nb::list custom = self.custom_paths;
    custom.clear();
}

// The kernel replaces the whole list when it switches package paths.
void set_custom_paths(VirtualEnvironment &self, nb::object paths) {
    require_list(paths, "custom_paths");
    self.custom_paths = nb::borrow<nb::list>(paths);
}

}  // namespace

void define_virtual_environment(nb::module_ &m) {
    nb::class_<VirtualEnvironment> cls(m, "VirtualEnvironment",
                                       nb::type_slots(GcSlots<VirtualEnvironment>::slots),
                                       "The workbook's own entries of sys.path.");
    cls.def("__init__", &init, nb::arg("workbook_id").none());
    cls.def_ro("workbook_id", &VirtualEnvironment::workbook_id);
    cls.def_ro("original_path", &VirtualEnvironment::original_path);
    cls.def_prop_rw(
        "custom_paths", [](VirtualEnvironment &self) { return self.custom_paths; }, &set_custom_paths,
        nb::arg("value").none());
    cls.def("add_path", &add_path, nb::arg("path").none());
    cls.def("remove_path", &remove_path, nb::arg("path").none());
    cls.def("reset_path", &reset_path);
    cls.def("get_paths", [](VirtualEnvironment &self) { return copy_list(self.custom_paths); });
}

}  // namespace tarvex::kernel
