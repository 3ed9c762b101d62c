// The chunk frames of one long message, made from its UTF-8 text one frame
// at a time as they are sent: each piece is cut and JSON-escaped in one
// pass over the text, without a str of the message or of the piece, nor
// the text in one piece, so a long reply costs little more memory than
// its text.
//
// Each frame is byte for byte what orjson makes of the chunk dict
//   {"type", "chunk_id", "chunk_index", "total_chunks", "data",
//    "original_type", "request_id"}
// whose data is the next `piece_chars` characters of the text.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace tarvex::kernel {

namespace nb = nanobind;

// Characters (code points) of valid UTF-8 text in parts (a list of bytes,
// each whole characters). Once more than `limit` are counted the count may
// stop there.
Py_ssize_t utf8_characters(nb::handle parts, Py_ssize_t limit = PY_SSIZE_T_MAX);

class ChunkFrames {
public:
    // `parts` is UTF-8 text in parts as message_parts makes it; the header
    // values are encoded with orjson (so it must have imported).
    ChunkFrames(nb::list parts, Py_ssize_t piece_chars, nb::handle header_type, nb::handle chunk_id,
                nb::handle original_type, nb::handle request_id);

    Py_ssize_t characters() const { return characters_; }
    Py_ssize_t total() const { return total_; }
    bool done() const { return index_ == total_; }

    // The next frame, as bytes (UTF-8 text).
    nb::bytes next();

private:
    // Moves to the next part that is not empty; false after the last.
    bool next_part();

    nb::list parts_;
    Py_ssize_t part_ = -1;
    const unsigned char *at_ = nullptr, *end_ = nullptr;  // what is left of the current part
    size_t later_bytes_ = 0;                              // of the parts after it
    Py_ssize_t piece_chars_, characters_, total_, index_ = 0;
    std::string head_, middle_, tail_;  // the frame around chunk_index and data
    std::vector<char> frame_;           // the frame being written, reused
};

}  // namespace tarvex::kernel
