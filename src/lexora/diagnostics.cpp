// Diagnostics: Monaco markers from the parser, pyflakes and a check that
// every imported module can be found.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <vector>

#include "common/py_ops.hpp"
#include "lexora/globals.hpp"
#include "lexora/lexora.hpp"
#include "lexora/text.hpp"

namespace lexora {

using namespace nb::literals;

namespace {

constexpr long SEVERITY_ERROR = 8;
constexpr long SEVERITY_WARNING = 4;

nb::dict marker(nb::object start_line, nb::object start_column, nb::object end_line, nb::object end_column,
                nb::object message, nb::object severity) {
    nb::dict marker;
    marker["startLineNumber"] = start_line;
    marker["startColumn"] = start_column;
    marker["endLineNumber"] = end_line;
    marker["endColumn"] = end_column;
    marker["message"] = message;
    marker["severity"] = severity;
    return marker;
}

nb::dict diagnostics_result(nb::object diagnostics, nb::object error) {
    nb::dict result;
    result["diagnostics"] = diagnostics;
    result["error"] = error;
    return result;
}

// `value` when it is truthy (not None, not 0, not empty), else `fallback`.
nb::object or_default(nb::object value, nb::object fallback) {
    return tarvex::truthy(value) ? value : fallback;
}

nb::object one_more(nb::handle number) { return nb::borrow(number) + nb::int_(1); }

// "<module>" for a named module, "<editor>" otherwise.
nb::str checked_file_name(nb::handle module_name) {
    if (module_name.is_none() || PyUnicode_GET_LENGTH(module_name.ptr()) == 0)
        return nb::str("<editor>");
    nb::object name = nb::str("<") + nb::borrow(module_name) + nb::str(">");
    return nb::borrow<nb::str>(name);
}

// The marker of a syntax error: the one diagnostic of code that does not
// parse.
nb::dict syntax_error_marker(const nb::python_error &error) {
    nb::handle exception = error.value();
    nb::object line = or_default(exception.attr("lineno"), nb::int_(1));
    nb::object column = or_default(exception.attr("offset"), nb::int_(1));
    nb::object text = or_default(exception.attr("msg"), nb::str("Syntax error"));
    log().debug("[LSP] Syntax error at line ", line, ", col ", column, ": ", text);
    return marker(line, column, line, one_more(column), text, nb::int_(SEVERITY_ERROR));
}

// The markers of one stream of pyflakes report lines, in order.
void parse_report(nb::list &markers, nb::handle stream, long severity) {
    nb::object text = stream.attr("getvalue")();
    PyObject *str = text.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    nb::int_ severity_number(severity);
    for (Py_ssize_t start = 0; start < length;) {
        Py_ssize_t newline = PyUnicode_FindChar(str, '\n', start, length, 1);
        if (newline == -2)
            throw nb::python_error();
        Py_ssize_t end = newline < 0 ? length : newline + 1;
        nb::object line = nb::steal(PyUnicode_Substring(str, start, end));
        if (!line.is_valid())
            throw nb::python_error();
        nb::object parsed = Lexora::parse_pyflakes_message(strip(line), severity_number);
        if (!parsed.is_none())
            markers.append(parsed);
        start = end;
    }
}

nb::dict import_marker(nb::handle node, nb::handle name) {
    nb::object line = node.attr("lineno");
    nb::object column = node.attr("col_offset");
    nb::object end_line = or_default(node.attr("end_lineno"), line);
    nb::object end_column = or_default(node.attr("end_col_offset"), column);
    nb::object message = nb::str("import '") + nb::borrow(name) + nb::str("' could not be resolved");
    return marker(line, one_more(column), end_line, one_more(end_column), message, nb::int_(SEVERITY_ERROR));
}

long severity_of(nb::handle marker) {
    nb::object severity = marker.attr("get")("severity", 0);
    return static_cast<long>(saturated(severity));
}

}  // namespace

nb::dict Lexora::get_diagnostics(nb::object code, nb::object module_name) {
    log().debug("[LSP] Request: get_diagnostics, code_length=", nb::len(code));
    return guarded(
        [&] {
            if (!PyUnicode_Check(code.ptr()))
                raise(PyExc_ValueError, "code must be a string");
            nb::list markers;
            nb::str file_name = checked_file_name(module_name);
            nb::object tree;
            try {
                tree = global("ast").attr("parse")(code, "filename"_a = file_name);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_SyntaxError))
                    throw;
                markers.append(syntax_error_marker(e));
                return diagnostics_result(markers, nb::none());
            }
            if (PyObject_IsTrue(global("PYFLAKES_AVAILABLE").ptr()) == 1)
                for (nb::handle found : run_pyflakes(code, file_name)) markers.append(found);
            for (nb::handle found : check_unresolved_imports(code)) markers.append(found);
            for (nb::handle found : check_workbook_names(code, tree, module_name)) markers.append(found);

            // Highest severity first; equal severities keep the order found.
            std::vector<std::pair<long, nb::object>> ranked;
            for (nb::handle found : markers) ranked.emplace_back(severity_of(found), nb::borrow(found));
            std::stable_sort(ranked.begin(), ranked.end(),
                             [](const auto &a, const auto &b) { return a.first > b.first; });
            nb::list sorted;
            for (auto &[severity, found] : ranked) sorted.append(found);
            return diagnostics_result(sorted, nb::none());
        },
        [&](nb::str error) {
            log().error("[LSP] Error in get_diagnostics: ", error);
            return diagnostics_result(nb::list(), error);
        });
}

nb::list Lexora::run_pyflakes(nb::handle code, nb::handle filename) {
    nb::list markers;
    try {
        nb::object io = global("io");
        nb::object warnings = io.attr("StringIO")();
        nb::object errors = io.attr("StringIO")();
        nb::object reporter = global("pyflakes_reporter").attr("Reporter")(warnings, errors);
        global("pyflakes_api").attr("check")(code, filename, reporter);
        parse_report(markers, warnings, SEVERITY_WARNING);
        parse_report(markers, errors, SEVERITY_ERROR);
        log().debug("[LSP] Pyflakes returned ", nb::len(markers), " diagnostics");
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        log().warning("[LSP] Pyflakes check failed: ", exception_text(e));
    }
    return markers;
}

nb::object Lexora::parse_pyflakes_message(nb::handle message, nb::handle severity) {
    if (PyObject_IsTrue(message.ptr()) != 1)
        return nb::none();
    try {
        nb::object match = global("PYFLAKES_MESSAGE_PATTERN").attr("match")(message);
        if (match.is_none())
            return nb::none();
        nb::object line = nb::int_(match.attr("group")(2));
        nb::object column_text = match.attr("group")(3);
        nb::object column = !column_text.is_none() && PyObject_IsTrue(column_text.ptr()) == 1
                                ? nb::object(nb::int_(column_text))
                                : nb::object(nb::int_(1));
        nb::object text = match.attr("group")(4);
        // A message that starts with a quoted name ('os' imported but
        // unused) marks that name; any other marks one character.
        Py_ssize_t quoted = leading_quoted_length(text);
        nb::object end_column = column + nb::int_(quoted > 0 ? quoted : 1);
        return marker(line, column, line, end_column, text, nb::borrow(severity));
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        log().debug("[LSP] Failed to parse pyflakes message '", message, "': ", exception_text(e));
        return nb::none();
    }
}

nb::list Lexora::check_unresolved_imports(nb::handle code) {
    nb::list markers;
    try {
        nb::object ast = global("ast");
        nb::object import_type = ast.attr("Import");
        nb::object import_from_type = ast.attr("ImportFrom");
        nb::object tree = ast.attr("parse")(code);
        for (nb::handle node : ast.attr("walk")(tree)) {
            if (nb::isinstance(node, import_type)) {
                for (nb::handle alias : node.attr("names")) {
                    nb::object name = alias.attr("name");
                    if (!can_resolve_import(name))
                        markers.append(import_marker(node, name));
                }
            } else if (nb::isinstance(node, import_from_type)) {
                // A purely relative import ("from . import x") names no module.
                nb::object module_name = node.attr("module");
                if (!module_name.is_none() && PyObject_IsTrue(module_name.ptr()) == 1 &&
                    !can_resolve_import(module_name))
                    markers.append(import_marker(node, module_name));
            }
        }
        log().debug("[LSP] Import check found ", nb::len(markers), " unresolved imports");
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        log().warning("[LSP] Import check failed: ", exception_text(e));
    }
    return markers;
}

bool Lexora::can_resolve_import(nb::handle module_name) {
    try {
        int loaded = PySequence_Contains(global("sys").attr("modules").ptr(), module_name.ptr());
        if (loaded < 0)
            throw nb::python_error();
        if (loaded)
            return true;
        if (is_synced_module(module_name))
            return true;
        return !global("importlib").attr("util").attr("find_spec")(module_name).is_none();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ImportError) || e.matches(PyExc_ValueError) || e.matches(PyExc_AttributeError))
            return false;
        throw;
    }
}

}  // namespace lexora
