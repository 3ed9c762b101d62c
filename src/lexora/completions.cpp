// Completions: jedi's completion at the cursor as Monaco completion items.
#include <nanobind/nanobind.h>

#include <tuple>
#include <utility>

#include "lexora/globals.hpp"
#include "lexora/lexora.hpp"
#include "lexora/text.hpp"

namespace lexora {

using namespace nb::literals;

namespace {

constexpr Py_ssize_t CODE_PREVIEW_CHARS = 100;
constexpr Py_ssize_t SAMPLE_LABELS = 5;
constexpr long DEFAULT_KIND = 4;

bool starts_with_underscore(nb::handle text) {
    return PyUnicode_Check(text.ptr()) && PyUnicode_GET_LENGTH(text.ptr()) > 0 &&
           PyUnicode_READ_CHAR(text.ptr(), 0) == '_';
}

nb::object monaco_kind(nb::handle kinds, nb::handle jedi_type) {
    if (PyDict_CheckExact(kinds.ptr())) {
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(kinds.ptr(), jedi_type.ptr(), &found) < 0)
            throw nb::python_error();
        if (found)
            return nb::steal(found);
        return nb::int_(DEFAULT_KIND);
    }
    return kinds.attr("get")(jedi_type, DEFAULT_KIND);
}

void log_request(const CursorRequest &request) {
    if (!log().enabled(tarvex::Level::debug))
        return;
    Py_ssize_t length = PyUnicode_GET_LENGTH(request.code.ptr());
    nb::dict record;
    record["line"] = request.line;
    record["column"] = request.column;
    record["path"] = request.path;
    record["code_length"] = length;
    nb::object preview = length <= CODE_PREVIEW_CHARS
                             ? nb::borrow(request.code)
                             : nb::steal(PyUnicode_Substring(request.code.ptr(), 0, CODE_PREVIEW_CHARS));
    if (!preview.is_valid())
        throw nb::python_error();
    record["code_preview"] = preview;
    log().debug("[LSP] Request: get_completions ", record);
}

void log_sample(const nb::list &items) {
    size_t count = nb::len(items);
    if (count == 0 || !log().enabled(tarvex::Level::debug))
        return;
    nb::list labels;
    for (size_t i = 0; i < count && i < static_cast<size_t>(SAMPLE_LABELS); ++i)
        labels.append(items[i]["label"]);
    log().debug("[LSP] Sample completions: ", labels,
                count > static_cast<size_t>(SAMPLE_LABELS) ? "..." : "");
}

nb::dict completion_result(nb::object completions, nb::object error) {
    nb::dict result;
    result["completions"] = completions;
    result["error"] = error;
    return result;
}

// The text of the cursor's line before the cursor ("" past the end).
nb::str line_before_cursor(const CursorRequest &request) {
    std::optional<nb::str> piece = line_of(request.code, saturated(request.line));
    return piece ? cut_at(*piece, saturated(request.column)) : nb::str("");
}

// The cursor sits where an import alias is being typed ("import numpy as
// n"), where no completion makes sense.
bool in_import_alias(const CursorRequest &request) {
    std::optional<nb::str> piece = line_of(request.code, saturated(request.line));
    if (!piece)
        return false;
    return !global("IMPORT_ALIAS_PATTERN").attr("match")(cut_at(*piece, saturated(request.column))).is_none();
}

// The signature detail of a function completion and its documentation;
// None for either when absent. `failed` tells that a lookup raised.
std::pair<nb::object, nb::object> lookup_details(nb::handle completion, nb::handle jedi_type, bool &failed) {
    nb::object detail = nb::none(), documentation = nb::none();
    if (is_text(jedi_type, "function")) {
        try {
            nb::object signatures = completion.attr("get_signatures")();
            if (nb::len(signatures) > 0)
                detail = Lexora::format_signature(signatures[0]);
        } catch (nb::python_error &e) {
            if (!is_exception(e))
                throw;
            failed = true;
        }
    }
    try {
        nb::object text = completion.attr("docstring")();
        if (PyObject_IsTrue(text.ptr()) == 1)
            documentation = text;
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        failed = true;
    }
    return {detail, documentation};
}

CompletionDetails::Slot slot_for(CompletionDetails *details, nb::handle completion, nb::handle name,
                                 nb::handle jedi_type) {
    if (!details)
        return {};
    try {
        return details->slot_for(completion, name, jedi_type);
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        return {};  // no definition site to keep it under
    }
}

// One completion as a Monaco completion item.
nb::dict completion_item(nb::handle completion, nb::handle name, nb::handle kinds,
                         CompletionDetails *details) {
    nb::object jedi_type = completion.attr("type");
    nb::dict item;
    item["label"] = name;
    item["kind"] = monaco_kind(kinds, jedi_type);
    item["insertText"] = name;

    CompletionDetails::Slot slot = slot_for(details, completion, name, jedi_type);
    nb::object detail, documentation;
    if (nb::object kept = details ? details->find(slot) : nb::object(); kept.is_valid()) {
        detail = kept[0];
        documentation = kept[1];
    } else {
        bool failed = false;
        std::tie(detail, documentation) = lookup_details(completion, jedi_type, failed);
        // A failed lookup is not kept: it may not fail next time.
        if (details && !failed)
            details->keep(slot, detail, documentation);
    }
    if (!detail.is_none())
        item["detail"] = detail;
    if (!documentation.is_none())
        item["documentation"] = documentation;
    return item;
}

}  // namespace

nb::dict Lexora::get_completions(const CursorRequest &request) {
    log_request(request);
    return guarded(
        [&] {
            check_cursor(request);
            if (in_import_alias(request)) {
                log().debug("[LSP] In import alias context, returning empty completions");
                return completion_result(nb::list(), nb::none());
            }
            sync_for(request);
            bool show_private =
                starts_with_underscore(get_word_prefix(request.code, request.line, request.column));
            nb::object script = make_script(request);
            nb::object completions =
                script.attr("complete")("line"_a = request.line, "column"_a = request.column);
            // Details are kept only when the buffer's own file is known,
            // since the buffer's names must never be kept.
            nb::object buffer_path = nb::getattr(script, "path", nb::none());
            CompletionDetails *details = buffer_path.is_none() ? nullptr : &details_;
            if (details)
                details->begin(jedi_project, files_.generation(),
                               temp_dir.is_none() ? nb::none() : sync_dir(), buffer_path, request.code,
                               line_before_cursor(request));
            log().debug("[LSP] Jedi returned ", nb::len(completions), " completions");

            nb::object kinds = global("JEDI_TO_MONACO_KIND");
            nb::list items;
            for (nb::handle completion : completions) {
                nb::object name = completion.attr("name");
                // Private and dunder names only once the user types "_".
                if (!show_private && starts_with_underscore(name))
                    continue;
                items.append(completion_item(completion, name, kinds, details));
            }
            nb::dict result = completion_result(items, nb::none());
            log().debug("[LSP] Response: ", nb::len(items), " completions returned");
            log_sample(items);
            return result;
        },
        [&](nb::str error) {
            log().error("[LSP] Error in get_completions: ", error);
            return completion_result(nb::list(), error);
        });
}

}  // namespace lexora
