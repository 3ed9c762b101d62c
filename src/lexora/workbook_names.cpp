// Names the code takes from other workbook modules that those modules no
// longer define: `from kit import RATE`, or `kit.RATE` after `import kit`,
// once RATE has gone from kit. Without it, saving a helper that drops a name
// leaves every module that uses it looking fine until it runs. What a
// module defines is what jedi completes after `kit.` (star imports and
// names bound in functions through `global` included); a module with a
// module-level __getattr__ may define anything and is not checked.
#include <nanobind/nanobind.h>
#include <sys/stat.h>

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lexora/globals.hpp"
#include "lexora/lexora.hpp"
#include "lexora/text.hpp"

namespace lexora {

using namespace nb::literals;

namespace {

constexpr long SEVERITY_ERROR = 8;

// The ast node types the walk tells apart, with their names in ast.
enum class Node {
    import_,
    import_from,
    attribute,
    name,
    load,
    arg,
    function,
    async_function,
    class_,
    handler,
    match_as,
    match_star,
    match_mapping,
    count
};
constexpr std::array AST_NAMES{"Import",  "ImportFrom",  "Attribute",        "Name",     "Load",
                               "arg",     "FunctionDef", "AsyncFunctionDef", "ClassDef", "ExceptHandler",
                               "MatchAs", "MatchStar",   "MatchMapping"};
static_assert(AST_NAMES.size() == static_cast<size_t>(Node::count));

// The types as `ast` has them now, looked up once per check.
class NodeTypes {
public:
    NodeTypes() {
        nb::object ast = global("ast");
        for (size_t i = 0; i < AST_NAMES.size(); ++i) types_[i] = ast.attr(AST_NAMES[i]);
    }

    bool is(nb::handle node, Node type) const {
        return Py_TYPE(node.ptr()) == (PyTypeObject *)types_[static_cast<size_t>(type)].ptr();
    }

private:
    std::array<nb::object, AST_NAMES.size()> types_;
};

std::string text(nb::handle str) { return utf8(str); }

// A name taken from a module: `from module import name` (`node` is the
// alias) or `alias.name` (`node` is the attribute).
struct Use {
    std::string module, name;
    nb::object node;
    bool attribute;
};

// What one walk of the tree finds.
struct Uses {
    std::vector<Use> imported;                                  // from kit import RATE
    std::map<std::string, std::set<std::string>> bound_to;      // alias -> modules `import` bound it to
    std::set<std::string> bound_otherwise;                      // every other name the code binds
    std::vector<std::pair<std::string, nb::object>> attribute;  // alias.attr, read
    std::map<std::string, std::set<std::string>> assigned;      // alias -> attributes the code sets itself
};

void note_binding(Uses &uses, nb::handle name) {
    if (!name.is_none())
        uses.bound_otherwise.insert(text(name));
}

Uses walk(nb::handle tree, const NodeTypes &types,
          const std::function<bool(nb::handle)> &is_workbook_module) {
    Uses uses;
    for (nb::handle node : global("ast").attr("walk")(tree)) {
        if (types.is(node, Node::import_from)) {
            nb::object module = node.attr("module");
            bool checked =
                !module.is_none() && saturated(node.attr("level")) == 0 && is_workbook_module(module);
            for (nb::handle alias : node.attr("names")) {
                nb::object name = alias.attr("name");
                nb::object as_name = alias.attr("asname");
                note_binding(uses, as_name.is_none() ? name : as_name);
                if (checked && PyUnicode_CompareWithASCIIString(name.ptr(), "*") != 0)
                    uses.imported.push_back({text(module), text(name), nb::borrow(alias), false});
            }
        } else if (types.is(node, Node::import_)) {
            for (nb::handle alias : node.attr("names")) {
                nb::object name = alias.attr("name");
                nb::object as_name = alias.attr("asname");
                if (is_workbook_module(name))
                    uses.bound_to[text(as_name.is_none() ? name : as_name)].insert(text(name));
                else if (as_name.is_none())
                    note_binding(uses, name.attr("partition")(".")[0]);  // `import a.b` binds a
                else
                    note_binding(uses, as_name);
            }
        } else if (types.is(node, Node::attribute)) {
            nb::object value = node.attr("value");
            if (!types.is(value, Node::name))
                continue;
            std::string alias = text(value.attr("id"));
            if (types.is(node.attr("ctx"), Node::load))
                uses.attribute.emplace_back(alias, nb::borrow(node));
            else
                uses.assigned[alias].insert(text(node.attr("attr")));
        } else if (types.is(node, Node::name)) {
            if (!types.is(node.attr("ctx"), Node::load))
                note_binding(uses, node.attr("id"));
        } else if (types.is(node, Node::arg)) {
            note_binding(uses, node.attr("arg"));
        } else if (types.is(node, Node::function) || types.is(node, Node::async_function) ||
                   types.is(node, Node::class_) || types.is(node, Node::handler) ||
                   types.is(node, Node::match_as) || types.is(node, Node::match_star)) {
            note_binding(uses, node.attr("name"));
        } else if (types.is(node, Node::match_mapping)) {
            note_binding(uses, node.attr("rest"));
        }
    }
    return uses;
}

// Character column (0-based) of UTF-8 byte offset `offset` in line `line`.
Py_ssize_t character_column(nb::handle code, nb::handle line, nb::handle offset) {
    std::optional<nb::str> piece = line_of(code, saturated(line));
    Py_ssize_t bytes = static_cast<Py_ssize_t>(saturated(offset));
    if (!piece)
        return bytes;
    PyObject *str = piece->ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(str), column = 0;
    for (Py_ssize_t seen = 0; column < length && seen < bytes; ++column) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(str, column);
        seen += ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
    }
    return column;
}

nb::dict missing_name_marker(nb::handle code, const Use &use) {
    nb::object line = use.node.attr("end_lineno");
    Py_ssize_t end = character_column(code, line, use.node.attr("end_col_offset"));
    Py_ssize_t start;
    std::string message;
    if (use.attribute) {
        // The attribute's name ends the node: `kit.RATE` marks RATE.
        start = end - PyUnicode_GET_LENGTH(use.node.attr("attr").ptr());
        message = "module '" + use.module + "' has no attribute '" + use.name + "'";
    } else {
        line = use.node.attr("lineno");
        start = character_column(code, line, use.node.attr("col_offset"));
        message = "cannot import name '" + use.name + "' from '" + use.module + "'";
    }
    nb::dict marker;
    marker["startLineNumber"] = line;
    marker["startColumn"] = nb::int_(start + 1);
    marker["endLineNumber"] = line;
    marker["endColumn"] = nb::int_(end + 1);
    marker["message"] = nb::str(message.data(), message.size());
    marker["severity"] = nb::int_(SEVERITY_ERROR);
    return marker;
}

}  // namespace

bool Lexora::is_synced_module(nb::handle module_name) const {
    if (temp_dir.is_none() || !is_dotted_name(module_name))
        return false;
    std::string path = fs_path(module_file_path(sync_dir(), module_name));
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

const std::optional<std::set<std::string>> &Lexora::names_defined_by(const std::string &module) {
    if (files_.generation() != defined_names_generation_ || !jedi_project.is(defined_names_project_)) {
        defined_names_.clear();
        defined_names_generation_ = files_.generation();
        defined_names_project_ = jedi_project;
    }
    if (auto kept = defined_names_.find(module); kept != defined_names_.end())
        return kept->second;
    std::optional<std::set<std::string>> &names = defined_names_[module];
    names = jedi_names_of(module);
    return names;
}

std::optional<std::set<std::string>> Lexora::jedi_names_of(const std::string &module) {
    std::string probe = "import " + module + "\n" + module + ".";
    nb::object script = global("jedi").attr("Script")(
        "code"_a = nb::str(probe.data(), probe.size()),
        "path"_a = module_file_path(sync_dir(), nb::str("<names>")), "project"_a = jedi_project);
    std::set<std::string> names;
    for (nb::handle completion : script.attr("complete")(2, module.size() + 1))
        names.insert(text(completion.attr("name")));
    // Nothing completed: jedi could not read the module, so nothing is known.
    if (names.empty() || names.count("__getattr__"))
        return std::nullopt;
    return names;
}

nb::list Lexora::check_workbook_names(nb::handle code, nb::handle tree, nb::handle module_name) {
    nb::list markers;
    try {
        NodeTypes types;
        // A module's file may be older than the buffer being checked, so
        // its names are never checked against itself.
        Uses uses = walk(tree, types, [&](nb::handle name) {
            return PyUnicode_IsIdentifier(name.ptr()) == 1 && !name.equal(module_name) &&
                   is_synced_module(name);
        });
        for (const auto &[alias, node] : uses.attribute) {
            auto bound = uses.bound_to.find(alias);
            // An alias bound to anything else anywhere in the code may not be
            // the module where it is read.
            if (bound == uses.bound_to.end() || bound->second.size() != 1 ||
                uses.bound_otherwise.count(alias))
                continue;
            std::string name = text(node.attr("attr"));
            if (!uses.assigned[alias].count(name))
                uses.imported.push_back({*bound->second.begin(), name, node, true});
        }
        for (const Use &use : uses.imported) {
            const std::optional<std::set<std::string>> &defined = names_defined_by(use.module);
            if (defined && !defined->count(use.name))
                markers.append(missing_name_marker(code, use));
        }
        log().debug("[LSP] Workbook name check found ", nb::len(markers), " missing names");
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        log().warning("[LSP] Workbook name check failed: ", exception_text(e));
    }
    return markers;
}

}  // namespace lexora
