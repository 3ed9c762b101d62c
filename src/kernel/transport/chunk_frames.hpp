// The chunk frames of one long message, made from its UTF-8 text one frame
// at a time as they are sent: each piece is cut and JSON-escaped in one
// pass over the text, without a str of the message or of the piece, so a
// long reply costs little more memory than its text.
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

// Characters (code points) of valid UTF-8 text.
Py_ssize_t utf8_characters(const char *text, size_t size);

class ChunkFrames {
public:
    // `text` is UTF-8 bytes; the header values are encoded with orjson
    // (so it must have imported).
    ChunkFrames(nb::bytes text, Py_ssize_t piece_chars, nb::handle header_type, nb::handle chunk_id,
                nb::handle original_type, nb::handle request_id);

    Py_ssize_t characters() const { return characters_; }
    Py_ssize_t total() const { return total_; }
    bool done() const { return index_ == total_; }

    // The next frame, as bytes (UTF-8 text).
    nb::bytes next();

private:
    nb::bytes text_;
    const unsigned char *at_, *end_;
    Py_ssize_t piece_chars_, characters_, total_, index_ = 0;
    std::string head_, middle_, tail_;  // the frame around chunk_index and data
    std::vector<char> frame_;           // the frame being written, reused
};

}  // namespace tarvex::kernel
