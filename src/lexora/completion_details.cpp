#include "lexora/completion_details.hpp"

#include "lexora/text.hpp"

namespace lexora {

namespace {

// Beyond this many library names the table starts over, which bounds its
// memory (documentation texts can be long) at little cost.
constexpr Py_ssize_t MAX_LIBRARY_ENTRIES = 20000;

bool same_text(nb::handle a, nb::handle b) {
    if (!a.is_valid() || !b.is_valid())
        return false;
    if (a.ptr() == b.ptr())
        return true;
    if (!PyUnicode_Check(a.ptr()) || !PyUnicode_Check(b.ptr()))
        return false;
    int equal = PyUnicode_Compare(a.ptr(), b.ptr());
    if (equal == -1 && PyErr_Occurred())
        throw nb::python_error();
    return equal == 0;
}

// A path-like object as a str; None when it is None.
nb::object path_text(nb::handle path) {
    if (path.is_none())
        return nb::none();
    PyObject *text = PyOS_FSPath(path.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal(text);
}

// jedi documents a module completion only once three characters of its
// name are typed (before that it answers "" for submodules and imported
// names); this tells which of the two answers a request gets. Only ASCII
// names are told apart here, so a non-ASCII character before the cursor
// leaves module completions out of the cache (None).
nb::object module_variant(nb::handle line_before_cursor) {
    PyObject *text = line_before_cursor.ptr();
    Py_ssize_t end = PyUnicode_GET_LENGTH(text), start = end;
    auto is_word = [](Py_UCS4 ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
    };
    while (start > 0 && is_word(PyUnicode_READ_CHAR(text, start - 1))) --start;
    if (start > 0 && PyUnicode_READ_CHAR(text, start - 1) >= 0x80)
        return nb::none();
    return nb::bool_(end - start >= 3);
}

}  // namespace

void CompletionDetails::begin(nb::handle project, std::uint64_t workbook_generation, nb::handle sync_dir,
                              nb::handle script_path, nb::handle code, nb::handle line_before_cursor) {
    module_variant_ = module_variant(line_before_cursor);
    if (!project_.is_valid() || project_.ptr() != project.ptr()) {
        library_.clear();
        project_ = nb::borrow(project);
    }
    script_path_ = path_text(script_path);
    if (workbook_generation != workbook_generation_ || !same_text(workbook_script_, script_path_) ||
        !same_text(workbook_code_, code)) {
        workbook_.clear();
        workbook_generation_ = workbook_generation;
        workbook_script_ = script_path_;
        workbook_code_ = nb::borrow(code);
    }
    nb::object directory = path_text(sync_dir);
    if (!same_text(directory, sync_dir_)) {
        // jedi may name a module file through either spelling of the
        // directory: as given or with its links resolved.
        nb::list prefixes;
        if (!directory.is_none()) {
            nb::object resolved = nb::module_::import_("os.path").attr("realpath")(directory);
            prefixes.append(nb::str("{}/").format(directory));
            if (!same_text(directory, resolved))
                prefixes.append(nb::str("{}/").format(resolved));
        }
        sync_prefixes_ = prefixes;
        sync_dir_ = directory;
    }
}

CompletionDetails::Slot CompletionDetails::slot_for(nb::handle completion, nb::handle name,
                                                    nb::handle type) const {
    if (is_text(type, "keyword") || is_text(type, "path"))
        return {};
    if (is_text(type, "module")) {
        // Its file is only known by importing it; its dotted name is not.
        if (module_variant_.is_none())
            return {};
        nb::object full_name = completion.attr("full_name");
        if (full_name.is_none())
            return {};
        return {workbook_.ptr(), nb::make_tuple(full_name, name, type, module_variant_)};
    }
    nb::object module_path = path_text(completion.attr("module_path"));
    if (module_path.is_none() || same_text(module_path, script_path_))
        return {};
    bool in_workbook = false;
    for (nb::handle prefix : sync_prefixes_) {
        Py_ssize_t match = PyUnicode_Tailmatch(module_path.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (match < 0)
            throw nb::python_error();
        in_workbook = in_workbook || match;
    }
    nb::object key =
        nb::make_tuple(module_path, completion.attr("line"), completion.attr("column"), name, type);
    return {in_workbook ? workbook_.ptr() : library_.ptr(), key};
}

nb::object CompletionDetails::find(const Slot &slot) const {
    if (!slot.table)
        return nb::object();
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(slot.table, slot.key.ptr(), &found) < 0)
        throw nb::python_error();
    return found ? nb::steal(found) : nb::object();
}

void CompletionDetails::keep(const Slot &slot, nb::handle detail, nb::handle documentation) {
    if (!slot.table)
        return;
    if (slot.table == library_.ptr() && PyDict_GET_SIZE(slot.table) >= MAX_LIBRARY_ENTRIES)
        library_.clear();
    nb::object value = nb::make_tuple(nb::borrow(detail), nb::borrow(documentation));
    if (PyDict_SetItem(slot.table, slot.key.ptr(), value.ptr()) != 0)
        throw nb::python_error();
}

void CompletionDetails::clear() {
    library_.clear();
    workbook_.clear();
    project_ = nb::object();
    workbook_script_ = nb::object();
    workbook_code_ = nb::object();
}

}  // namespace lexora
