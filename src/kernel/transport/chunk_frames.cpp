#include "kernel/transport/chunk_frames.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "common/errors.hpp"
#include "common/json_escapes.hpp"
#include "kernel/transport/json_dumps.hpp"

namespace tarvex::kernel {

namespace {

// Longest escape of one input byte ("\u001f"); a character of n bytes
// never takes more than 6 * n.
constexpr size_t max_escape_bytes = 6;

// Bytes copied as they are: ASCII needing no escape.
constexpr std::array<bool, 256> plain_bytes = [] {
    std::array<bool, 256> plain{};
    for (int c = 0; c < 0x80; ++c) plain[c] = !tarvex::json_escapes[c];
    return plain;
}();

char *escape(unsigned char c, char *out) {
    static const char hex[] = "0123456789abcdef";
    *out++ = '\\';
    char letter = tarvex::json_escapes[c];
    if (letter != 'u') {
        *out++ = letter;
        return out;
    }
    const char digits[5] = {'u', '0', '0', hex[c >> 4], hex[c & 15]};
    std::memcpy(out, digits, sizeof digits);
    return out + sizeof digits;
}

// Bytes of the UTF-8 sequence a lead byte starts.
size_t sequence_bytes(unsigned char lead) {
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

// Writes up to `chars` characters from `in` escaped to `out`, counting
// them off `chars`; returns the end of what it wrote and advances `in` past
// what it read.
char *escape_piece(const unsigned char *&in, const unsigned char *end, Py_ssize_t &chars, char *out) {
    while (chars > 0 && in < end) {
        // A run of plain ASCII, one character per byte, copied as it is.
        const unsigned char *stop = in + std::min<Py_ssize_t>(chars, end - in);
        const unsigned char *run = in;
        while (run < stop && plain_bytes[*run]) *out++ = static_cast<char>(*run++);
        chars -= run - in;
        in = run;
        if (chars == 0 || in == end)
            break;
        if (*in < 0x80) {
            out = escape(*in++, out);
        } else {
            size_t n = std::min<size_t>(sequence_bytes(*in), static_cast<size_t>(end - in));
            std::memcpy(out, in, n);
            out += n;
            in += n;
        }
        --chars;
    }
    return out;
}

std::string orjson_text(nb::handle value) {
    nb::bytes text = orjson_bytes(value);
    return std::string(PyBytes_AS_STRING(text.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(text.ptr())));
}

// UTF-8 continuation bytes (10xxxxxx), eight at a time: each byte's bit 6
// is shifted under its bit 7, and the flags left in bit 7 are summed by
// one multiplication.
size_t continuation_bytes(const char *text, size_t size) {
    constexpr uint64_t high_bits = 0x8080808080808080ull, byte_ones = 0x0101010101010101ull;
    size_t count = 0, i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, text + i, 8);
        count += ((((word & ~(word << 1)) & high_bits) >> 7) * byte_ones) >> 56;
    }
    for (; i < size; ++i) count += (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    return count;
}

}  // namespace

Py_ssize_t utf8_characters(nb::handle parts, Py_ssize_t limit) {
    constexpr size_t block_bytes = 1 << 20;
    Py_ssize_t characters = 0;
    for (nb::handle part : nb::borrow<nb::list>(parts)) {
        const char *text = PyBytes_AS_STRING(part.ptr());
        size_t size = static_cast<size_t>(PyBytes_GET_SIZE(part.ptr()));
        for (size_t at = 0; at < size && characters <= limit; at += block_bytes) {
            size_t n = std::min(block_bytes, size - at);
            characters += static_cast<Py_ssize_t>(n - continuation_bytes(text + at, n));
        }
    }
    return characters;
}

ChunkFrames::ChunkFrames(nb::list parts, Py_ssize_t piece_chars, nb::handle header_type, nb::handle chunk_id,
                         nb::handle original_type, nb::handle request_id)
    : parts_(std::move(parts)), piece_chars_(piece_chars) {
    for (nb::handle part : parts_) later_bytes_ += static_cast<size_t>(PyBytes_GET_SIZE(part.ptr()));
    characters_ = utf8_characters(parts_);
    total_ = (characters_ + piece_chars_ - 1) / piece_chars_;
    head_ = "{\"type\":" + orjson_text(header_type) + ",\"chunk_id\":" + orjson_text(chunk_id) +
            ",\"chunk_index\":";
    middle_ = ",\"total_chunks\":" + std::to_string(total_) + ",\"data\":\"";
    tail_ = "\",\"original_type\":" + orjson_text(original_type) +
            ",\"request_id\":" + orjson_text(request_id) + "}";
}

bool ChunkFrames::next_part() {
    while (++part_ < PyList_GET_SIZE(parts_.ptr())) {
        PyObject *part = PyList_GET_ITEM(parts_.ptr(), part_);
        size_t size = static_cast<size_t>(PyBytes_GET_SIZE(part));
        later_bytes_ -= size;
        at_ = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(part));
        end_ = at_ + size;
        if (size > 0)
            return true;
    }
    return false;
}

nb::bytes ChunkFrames::next() {
    size_t left = static_cast<size_t>(end_ - at_) + later_bytes_;
    size_t piece_bound = max_escape_bytes * std::min(left, static_cast<size_t>(piece_chars_));
    frame_.resize(head_.size() + 24 + middle_.size() + piece_bound + tail_.size());
    char *out = frame_.data();
    out = std::copy(head_.begin(), head_.end(), out);
    out = std::to_chars(out, out + 24, index_).ptr;
    out = std::copy(middle_.begin(), middle_.end(), out);
    Py_ssize_t chars = piece_chars_;
    while (chars > 0 && (at_ < end_ || next_part())) out = escape_piece(at_, end_, chars, out);
    out = std::copy(tail_.begin(), tail_.end(), out);
    ++index_;
    return owned<nb::bytes>(PyBytes_FromStringAndSize(frame_.data(), out - frame_.data()));
}

}  // namespace tarvex::kernel
