// The language-services object: jedi and pyflakes behind the editor's
// completion, signature-help, hover and diagnostic requests.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "lexora/completion_details.hpp"
#include "lexora/globals.hpp"
#include "lexora/module_files.hpp"

namespace lexora {

namespace nb = nanobind;

// The arguments shared by the three cursor-based requests, already checked
// for their exact types.
struct CursorRequest {
    nb::object code;         // str
    nb::object line;         // int, 1-based
    nb::object column;       // int, 0-based
    nb::object path;         // str or None
    nb::object modules;      // dict or None
    nb::object dirty_files;  // dict or None
};

class Lexora {
public:
    Lexora();

    // Configuration and module files.
    void set_workspace(nb::object workspace_path);
    void set_hover_mode(nb::object mode);
    void update_sys_paths(nb::object new_paths);
    void sync_modules(nb::object modules, nb::object dirty_files);
    void delete_module(nb::object module_name);
    void cleanup();

    // The editor's requests; each returns its result dict, with the failure
    // text under "error" instead of raising.
    nb::dict get_completions(const CursorRequest &request);
    nb::dict get_signature_help(const CursorRequest &request);
    nb::dict get_hover(const CursorRequest &request);
    nb::dict get_diagnostics(nb::object code, nb::object module_name);

    // Pieces of the requests, reachable from Python under their own names.
    static nb::str get_word_prefix(nb::handle code, nb::handle line, nb::handle column);
    static bool is_module_name(nb::handle path);
    static nb::str format_signature(nb::handle signature);
    nb::object format_compact_hover(nb::handle definition);
    static nb::object get_type_description(nb::handle definition, nb::handle fallback_type);
    nb::list run_pyflakes(nb::handle code, nb::handle filename);
    static nb::object parse_pyflakes_message(nb::handle message, nb::handle severity);
    nb::list check_unresolved_imports(nb::handle code);
    bool can_resolve_import(nb::handle module_name);
    // Markers for names taken from other workbook modules that they do not
    // define; `tree` is the parsed `code`.
    nb::list check_workbook_names(nb::handle code, nb::handle tree, nb::handle module_name);

    // The attributes as Python sees them.
    nb::object workspace_path = nb::none();
    nb::object temp_dir = nb::none();  // tempfile.TemporaryDirectory or None
    nb::object python_server_path;
    nb::object stubs_path;
    nb::object jedi_project;
    const char *hover_mode() const { return detailed_hover_ ? "detailed" : "compact"; }

private:
    // The sync directory's path; raises AttributeError once cleaned up,
    // like reading `name` from a missing directory object would.
    nb::object sync_dir() const;
    static nb::object module_file_path(nb::handle directory, nb::handle name);
    // A workbook module as last synced: its file is in the sync directory.
    bool is_synced_module(nb::handle module_name) const;
    // The names jedi sees in a synced module, or nothing when it cannot tell.
    const std::optional<std::set<std::string>> &names_defined_by(const std::string &module);
    std::optional<std::set<std::string>> jedi_names_of(const std::string &module);

    // Preparation shared by the cursor-based requests.
    static void check_cursor(const CursorRequest &request);
    void sync_for(const CursorRequest &request);
    nb::object script_path(const CursorRequest &request) const;
    nb::object make_script(const CursorRequest &request);
    // Logs the request as `name`, prepares it and hands `answer` the script
    // and what its `method` finds at the cursor. An Exception is logged and
    // answered by `failure(text)` instead.
    template <typename Answer, typename Failure>
    nb::dict at_cursor(const char *name, const char *method, const CursorRequest &request, Answer &&answer,
                       Failure &&failure);

    nb::object hover_from_help(nb::handle script, const CursorRequest &request);
    void append_detailed_hover(nb::list &pieces, nb::handle definition);

    bool detailed_hover_ = false;
    ModuleFiles files_;
    CompletionDetails details_;
    // names_defined_by's answers, kept while no module file is written or
    // removed and the jedi project is the same.
    std::map<std::string, std::optional<std::set<std::string>>> defined_names_;
    std::uint64_t defined_names_generation_ = 0;
    nb::object defined_names_project_;
};

template <typename Answer, typename Failure>
nb::dict Lexora::at_cursor(const char *name, const char *method, const CursorRequest &request,
                           Answer &&answer, Failure &&failure) {
    log().debug("[LSP] Request: ", name, " line=", request.line, ", column=", request.column,
                ", path=", request.path);
    return guarded(
        [&] {
            check_cursor(request);
            sync_for(request);
            nb::object script = make_script(request);
            nb::object found =
                script.attr(method)(nb::arg("line") = request.line, nb::arg("column") = request.column);
            return answer(script, found);
        },
        [&](nb::str error) {
            log().error("[LSP] Error in ", name, ": ", error);
            return failure(error);
        });
}

}  // namespace lexora
