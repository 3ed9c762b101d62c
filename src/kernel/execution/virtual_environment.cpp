// VirtualEnvironment: the import paths a workbook added on top of the
// interpreter's own sys.path, and the way back to the original sys.path.
#include "kernel/execution/virtual_environment.hpp"

#include "common/args.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_class.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

void init(nb::handle self, nb::object workbook_id) {
    require_str(workbook_id, "workbook_id");
    self.attr(names::workbook_id) = workbook_id;
    self.attr(names::original_path) = copy_list(sys_path());
    self.attr(names::custom_paths) = nb::list();
}

void add_path(nb::handle self, nb::object path) {
    require_str(path, "path");
    nb::object custom = self.attr(names::custom_paths);
    if (contains(custom, path))
        return;
    custom.attr("append")(path);
    nb::object paths = sys_path();
    if (!contains(paths, path))
        paths.attr("insert")(0, path);
}

void remove_path(nb::handle self, nb::object path) {
    require_str(path, "path");
    nb::object custom = self.attr(names::custom_paths);
    if (!contains(custom, path))
        return;
    custom.attr("remove")(path);
    nb::object paths = sys_path();
    if (contains(paths, path))
        paths.attr("remove")(path);
}

// sys.path stays the same list object, so every holder of it sees the reset.
void reset_path(nb::handle self) {
    nb::object paths = sys_path();
    paths.attr("clear")();
    paths.attr("extend")(self.attr(names::original_path));
    self.attr(names::custom_paths).attr("clear")();
}

}  // namespace

void define_virtual_environment(nb::module_ &m) {
    ClassBuilder(m, "VirtualEnvironment")
        .doc("The workbook's own entries of sys.path.")
        .method("__init__", &init, nb::arg("workbook_id").none())
        .method("add_path", &add_path, nb::arg("path").none())
        .method("remove_path", &remove_path, nb::arg("path").none())
        .method("reset_path", &reset_path)
        .method("get_paths", [](nb::handle self) { return copy_list(self.attr(names::custom_paths)); })
        .finish();
}

}  // namespace tarvex::kernel
