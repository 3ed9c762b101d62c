// The chunked messages from the Business Layer still being put together:
// one buffer per chunk id, kept in arrival order with running counts of
// their characters, so that bounding them costs the same however many
// pieces are held. Python sees them as PythonKernel._chunk_buffers, a
// snapshot {chunk_id: {"chunks": [...], "received": n, "total": total}}.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <map>
#include <vector>

namespace tarvex::kernel {

namespace nb = nanobind;

class ChunkBuffers {
public:
    struct Buffer {
        std::uint64_t serial;            // arrival order
        nb::object id;                   // chunk_id, as it came
        nb::object total;                // total_chunks of the first piece, as it came
        std::vector<nb::object> pieces;  // null: no piece yet, or one whose data was null
        Py_ssize_t received = 0;         // pieces counted, those with null data included
        Py_ssize_t characters = 0;       // of its pieces
    };

    // The buffer of `id`, or nullptr.
    Buffer *find(nb::handle id);
    // A new buffer of `slots` empty slots for `id`, which has none yet.
    Buffer &add(nb::handle id, nb::handle total, Py_ssize_t slots);
    // Counts piece `index` of `buffer`, whose slot is empty; `data` is a str
    // or None (the slot then stays empty).
    void store(Buffer &buffer, Py_ssize_t index, nb::handle data);
    // Forgets `buffer` and hands back its pieces.
    std::vector<nb::object> take(Buffer &buffer);
    void drop(Buffer &buffer) { take(buffer); }

    // The oldest buffer other than `keep` (which may be null), or nullptr.
    Buffer *oldest_other_than(const Buffer *keep);
    size_t count() const { return buffers_.size(); }
    Py_ssize_t characters() const { return characters_; }

    // The buffers as Python sees them, oldest first.
    nb::dict snapshot() const;

    int traverse(visitproc visit, void *arg);
    void clear();

private:
    std::map<std::uint64_t, Buffer> buffers_;  // by serial: the first is the oldest
    nb::dict serials_;                         // chunk_id -> serial, so ids match as dict keys do
    std::uint64_t next_serial_ = 0;
    Py_ssize_t characters_ = 0;  // of every buffer
};

}  // namespace tarvex::kernel
