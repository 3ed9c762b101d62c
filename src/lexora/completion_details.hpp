// The signature detail and documentation of completion items, kept across
// completion requests.
//
// jedi builds a fresh inference state for every request, so the signature
// and docstring of each proposed name are inferred again each time; for a
// module such as pandas that is most of a request's cost. A name's details
// depend only on where it is defined, so they are kept under the name's
// definition site (module file, line, column, name, type):
//
// - names defined in library files (anything outside the sync directory)
//   stay valid while the jedi project is the same object; a new project
//   (new search paths) starts afresh;
// - names defined in workbook module files, and module completions (which
//   are kept under the module's dotted name, since finding their file means
//   importing them), stay valid only while no module file has been written
//   or removed and the edited buffer is the same, since one module's
//   details can come from another module;
// - names of the buffer itself, names without a file, keyword and path
//   completions are never kept.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace lexora {

namespace nb = nanobind;

class CompletionDetails {
public:
    // Where one completion's details are kept; no table: not kept.
    struct Slot {
        PyObject *table = nullptr;  // borrowed from the cache
        nb::object key;
    };

    // Starts a request: drops what the request's state has made stale.
    // `line_before_cursor` holds the name fragment the user has typed, whose
    // length decides how jedi documents a module completion.
    void begin(nb::handle project, std::uint64_t workbook_generation, nb::handle sync_dir,
               nb::handle script_path, nb::handle code, nb::handle line_before_cursor);

    Slot slot_for(nb::handle completion, nb::handle name, nb::handle type) const;

    // The kept (detail, documentation) pair, either of which may be None;
    // nothing when the completion's details are not known yet.
    nb::object find(const Slot &slot) const;
    void keep(const Slot &slot, nb::handle detail, nb::handle documentation);

    void clear();

private:
    nb::dict library_;
    nb::dict workbook_;
    nb::object project_;          // the project library_ belongs to
    nb::object workbook_script_;  // buffer path and text workbook_ belongs to
    nb::object workbook_code_;
    std::uint64_t workbook_generation_ = 0;
    nb::object sync_dir_;        // the sync directory path the prefixes belong to
    nb::list sync_prefixes_;     // that path as given and resolved, each + "/"
    nb::object module_variant_;  // None: module completions are not kept
    nb::object script_path_;     // the request's script path as a str
};

}  // namespace lexora
