// The module files of the sync directory, written only when their text
// changes. jedi's parser keeps a parsed module until its file's modification
// time moves, so leaving an unchanged file alone keeps that parse (and
// everything inferred from it) warm across requests.
#pragma once

#include <nanobind/nanobind.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <unordered_map>

namespace lexora {

namespace nb = nanobind;

class ModuleFiles {
public:
    // Writes `text` (a str) as UTF-8 to `path` unless the file still holds
    // exactly what we last wrote there. Returns true when it wrote. Raises
    // the Python error of a failed open or write (OSError) or of a text
    // that cannot be encoded (UnicodeEncodeError).
    bool write(nb::handle path, nb::handle text);

    // The file at `path` was removed; its next write always happens.
    void forget(const std::string &fs_path);
    void clear() {
        files_.clear();
        ++generation_;
    }

    // Moves on whenever a module file is written or removed.
    std::uint64_t generation() const { return generation_; }

private:
    struct Record {
        std::string text;
        bool present = false;          // the file holds `text` as of `identity`
        struct stat identity{};        // the file right after our write
        struct timespec last_mtime{};  // never decreases, even across deletions
    };

    std::unordered_map<std::string, Record> files_;
    std::uint64_t generation_ = 0;
};

}  // namespace lexora
