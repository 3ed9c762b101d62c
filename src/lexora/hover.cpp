// Hover: Markdown describing the name under the cursor, compact (one typed
// header per definition) or detailed (full names and docstrings).
#include <nanobind/nanobind.h>

#include <optional>

#include "common/errors.hpp"
#include "common/py_ops.hpp"
#include "lexora/globals.hpp"
#include "lexora/lexora.hpp"
#include "lexora/text.hpp"

namespace lexora {

using namespace nb::literals;
using tarvex::owned;
using tarvex::truthy;

namespace {

constexpr const char *PIECE_SEPARATOR = "\n\n---\n\n";

// a + b + ... for str pieces, raising TypeError for anything else as
// Python's concatenation would.
nb::str joined(nb::handle a, nb::handle b) { return owned<nb::str>(PyUnicode_Concat(a.ptr(), b.ptr())); }

template <typename... Rest>
nb::str joined(nb::handle a, nb::handle b, const Rest &...rest) {
    return joined(joined(a, b), rest...);
}

nb::str code_block(nb::handle header) { return joined(nb::str("```python\n"), header, nb::str("\n```")); }

nb::object name_or_empty(nb::handle definition) {
    nb::object name = definition.attr("name");
    return truthy(name) ? name : nb::str("");
}

// The text of the first signature, or nothing when there is none.
std::optional<nb::str> first_signature(nb::handle definition) {
    nb::object signatures = definition.attr("get_signatures")();
    if (nb::len(signatures) == 0)
        return std::nullopt;
    return Lexora::format_signature(signatures[0]);
}

void append_docstring(nb::list &pieces, nb::handle named) {
    try {
        nb::object doc = named.attr("docstring")();
        if (truthy(doc))
            pieces.append(doc);
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
    }
}

nb::object join_pieces(const nb::list &pieces) { return nb::str(PIECE_SEPARATOR).attr("join")(pieces); }

nb::dict hover_result(nb::object contents, nb::object error) {
    nb::dict result;
    result["contents"] = contents;
    result["error"] = error;
    return result;
}

nb::dict markdown(nb::object text) {
    nb::dict contents;
    contents["kind"] = "markdown";
    contents["value"] = text;
    return contents;
}

}  // namespace

nb::object Lexora::get_type_description(nb::handle definition, nb::handle fallback_type) {
    nb::object description;
    try {
        description = definition.attr("description");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_AttributeError))
            throw;
        return nb::borrow(fallback_type);
    }
    return truthy(description) ? description : nb::borrow(fallback_type);
}

nb::object Lexora::format_compact_hover(nb::handle definition) {
    try {
        nb::object name = name_or_empty(definition);
        nb::object type = definition.attr("type");
        nb::str header;
        if (is_text(type, "function")) {
            header = joined(nb::str("(function) "), name);
            try {
                if (auto signature = first_signature(definition))
                    header = joined(header, *signature);
            } catch (nb::python_error &e) {
                if (!is_exception(e))
                    throw;
            }
        } else if (is_text(type, "class")) {
            header = joined(nb::str("(class) "), name);
        } else if (is_text(type, "module")) {
            header = joined(nb::str("(module) "), name);
        } else {
            header = joined(nb::str("("), type, nb::str(") "), name, nb::str(": "),
                            get_type_description(definition, type));
        }
        return code_block(header);
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        log().debug("[LSP] Error formatting compact hover: ", exception_text(e));
        return nb::none();
    }
}

void Lexora::append_detailed_hover(nb::list &pieces, nb::handle definition) {
    nb::object full = definition.attr("full_name");
    if (!truthy(full))
        full = definition.attr("name");
    nb::object type = definition.attr("type");
    if (is_text(type, "function")) {
        nb::object header = full;
        try {
            if (auto signature = first_signature(definition))
                header = joined(full, *signature);
        } catch (nb::python_error &e) {
            if (!is_exception(e))
                throw;
        }
        pieces.append(code_block(header));
    } else if (is_text(type, "class")) {
        pieces.append(code_block(joined(nb::str("class "), full)));
    } else if (is_text(type, "module")) {
        pieces.append(code_block(joined(nb::str("module "), full)));
    } else {
        pieces.append(code_block(joined(full, nb::str(": "), get_type_description(definition, type))));
    }
    append_docstring(pieces, definition);
}

// jedi's help lookup, which also knows keywords and operators; used when
// inference finds nothing. Returns the result, or nothing found (None).
nb::object Lexora::hover_from_help(nb::handle script, const CursorRequest &request) {
    try {
        nb::object names = script.attr("help")("line"_a = request.line, "column"_a = request.column);
        if (nb::len(names) == 0)
            return nb::none();
        nb::list pieces;
        for (nb::handle named : names) {
            nb::object name = name_or_empty(named);
            nb::object description = nb::str("");
            if (nb::hasattr(named, "description"))
                description = named.attr("description");
            if (truthy(name))
                pieces.append(code_block(truthy(description)
                                             ? joined(nb::str("("), description, nb::str(") "), name)
                                             : nb::borrow<nb::str>(name)));
            append_docstring(pieces, named);
        }
        if (nb::len(pieces) == 0)
            return nb::none();
        log().debug("[LSP] Hover (from help()): found ", nb::len(names), " results");
        return hover_result(markdown(join_pieces(pieces)), nb::none());
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        log().debug("[LSP] help() fallback failed: ", exception_text(e));
        return nb::none();
    }
}

nb::dict Lexora::get_hover(const CursorRequest &request) {
    return at_cursor(
        "get_hover", "infer", request,
        [&](nb::handle script, nb::handle definitions) {
            size_t found = nb::len(definitions);
            if (found > 0) {
                nb::list pieces;
                for (nb::handle definition : definitions) {
                    if (detailed_hover_) {
                        append_detailed_hover(pieces, definition);
                    } else {
                        nb::object block = format_compact_hover(definition);
                        if (truthy(block))
                            pieces.append(block);
                    }
                }
                nb::object text = nb::len(pieces) > 0 ? join_pieces(pieces) : nb::none();
                log().debug("[LSP] Hover: found ", found, " definitions");
                return hover_result(!text.is_none() && truthy(text) ? nb::object(markdown(text)) : nb::none(),
                                    nb::none());
            }
            log().debug("[LSP] infer() returned empty, trying help() as fallback");
            nb::object from_help = hover_from_help(script, request);
            if (!from_help.is_none())
                return nb::borrow<nb::dict>(from_help);
            log().debug("[LSP] No type information found for hover");
            return hover_result(nb::none(), nb::none());
        },
        [](nb::str error) { return hover_result(nb::none(), error); });
}

}  // namespace lexora
