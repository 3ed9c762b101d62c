// Chunked transfer: a serialized message longer than CHUNK_SIZE characters
// travels as "chunk" frames, and chunk frames from the Business Layer are
// put back together before dispatch.
//
// Reassembly is bounded: a message may have at most MAX_CHUNKS pieces and
// MAX_CHUNKED_MESSAGE_SIZE characters in all, and at most MAX_CHUNK_BUFFERS
// incomplete messages holding MAX_BUFFERED_CHUNK_SIZE characters in all are
// kept (the oldest go first), so a bad header, an endless stream of pieces
// or messages that never complete cannot exhaust memory. The buffers keep
// running counts (chunk_buffers.hpp): checking the bounds costs the same
// however many pieces are held.
#include "kernel/transport/chunking.hpp"

#include <algorithm>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/uuid4.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/chunk_frames.hpp"
#include "kernel/transport/connection.hpp"
#include "kernel/transport/json_dumps.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace {

Py_ssize_t chunk_size() {
    Py_ssize_t size = module_size_constant(names::CHUNK_SIZE);
    if (size < 1) {
        PyErr_SetString(PyExc_ValueError, "CHUNK_SIZE must be a positive number of characters");
        throw nb::python_error();
    }
    return size;
}

bool less(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// The pieces (all strs) joined into one str, in order.
nb::object joined_text(std::vector<nb::object> &pieces) {
    nb::object parts = owned(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    for (size_t i = 0; i < pieces.size(); ++i)
        PyTuple_SET_ITEM(parts.ptr(), static_cast<Py_ssize_t>(i), pieces[i].release().ptr());
    return owned(PyUnicode_Join(nb::str("").ptr(), parts.ptr()));
}

// Drops the oldest incomplete messages other than `keep` (null: none)
// until one more buffer (when `adding_buffer`) and `incoming` more
// characters fit the limits.
void make_room(ChunkBuffers &buffers, const ChunkBuffers::Buffer *keep, bool adding_buffer,
               Py_ssize_t incoming) {
    Py_ssize_t max_buffers = module_size_constant(names::MAX_CHUNK_BUFFERS);
    Py_ssize_t max_size = module_size_constant(names::MAX_BUFFERED_CHUNK_SIZE);
    auto fits = [&] {
        bool count_ok = !adding_buffer || static_cast<Py_ssize_t>(buffers.count()) < max_buffers;
        return count_ok && buffers.characters() + incoming <= max_size;
    };
    while (!fits()) {
        ChunkBuffers::Buffer *oldest = buffers.oldest_other_than(keep);
        if (!oldest)
            return;
        log().error("[Kernel] Dropping incomplete chunked message ", oldest->id, ": at most ", max_buffers,
                    " incomplete messages of ", max_size, " characters in all are kept");
        buffers.drop(*oldest);
    }
}

// orjson's text of a message, in parts: each frame is written straight
// from them.
Coro send_chunked_parts(nb::object self, nb::list raw_json, nb::object message_type, nb::object request_id) {
    nb::str chunk_id = uuid4_text();
    ChunkFrames frames(std::move(raw_json), chunk_size(), module_global(names::CHUNK_HEADER_TYPE), chunk_id,
                       message_type, request_id);
    log().info("[Kernel] Chunking large message: type=", message_type, ", size=", frames.characters(),
               ", chunks=", frames.total());
    {
        Connection &connection = connection_of(self);
        auto held = co_await acquire(connection.socket_lock);
        nb::object send = connection.websocket.attr(names::send);
        while (!frames.done()) co_await send(frames.next(), nb::arg("text") = true);
    }
    log().debug("[Kernel] Sent ", frames.total(), " chunks for message: type=", message_type,
                ", chunk_id=", chunk_id);
    co_return nb::none();
}

// Text from json_dumps (json.dumps, or a replacement): each piece goes out
// in a chunk dict encoded by json_dumps too.
Coro send_chunked_str(nb::object self, nb::object raw_json, nb::object message_type, nb::object request_id) {
    Py_ssize_t size = chunk_size();
    Py_ssize_t length = PyUnicode_GET_LENGTH(raw_json.ptr());
    nb::str chunk_id = uuid4_text();
    Py_ssize_t total_chunks = (length + size - 1) / size;
    log().info("[Kernel] Chunking large message: type=", message_type, ", size=", length,
               ", chunks=", total_chunks);
    {
        Connection &connection = connection_of(self);
        auto held = co_await acquire(connection.socket_lock);
        nb::object send = connection.websocket.attr(names::send);
        nb::object header_type = module_global(names::CHUNK_HEADER_TYPE);
        nb::object total = nb::int_(total_chunks);
        for (Py_ssize_t i = 0; i < total_chunks; ++i) {
            Py_ssize_t start = i * size;
            Py_ssize_t end = std::min(start + size, length);
            nb::object piece = nb::steal(PyUnicode_Substring(raw_json.ptr(), start, end));
            if (!piece.is_valid())
                throw nb::python_error();
            nb::dict chunk = make_message({{names::type, header_type},
                                           {names::chunk_id, chunk_id},
                                           {names::chunk_index, nb::int_(i)},
                                           {names::total_chunks, total},
                                           {names::data, piece},
                                           {names::original_type, message_type},
                                           {names::request_id, request_id}});
            co_await send(dumps(chunk));
        }
    }
    log().debug("[Kernel] Sent ", total_chunks, " chunks for message: type=", message_type,
                ", chunk_id=", chunk_id);
    co_return nb::none();
}

}  // namespace

bool longer_than(nb::handle raw_json, Py_ssize_t size) {
    if (PyUnicode_Check(raw_json.ptr()))
        return PyUnicode_GET_LENGTH(raw_json.ptr()) > size;
    // A byte is at most a character: most messages need no count.
    Py_ssize_t bytes = 0;
    for (nb::handle part : nb::borrow<nb::list>(raw_json)) bytes += PyBytes_GET_SIZE(part.ptr());
    return bytes > size && utf8_characters(raw_json, size) > size;
}

Coro send_chunked_message(nb::object self, nb::object raw_json, nb::object message_type,
                          nb::object request_id) {
    if (PyList_Check(raw_json.ptr()))
        return send_chunked_parts(std::move(self), nb::borrow<nb::list>(raw_json), std::move(message_type),
                                  std::move(request_id));
    return send_chunked_str(std::move(self), std::move(raw_json), std::move(message_type),
                            std::move(request_id));
}

nb::object handle_chunk(nb::handle self, nb::handle message) {
    nb::object chunk_id = get(message, names::chunk_id);
    nb::object chunk_index = get(message, names::chunk_index);
    nb::object total_chunks = get(message, names::total_chunks);
    nb::object chunk_data = get(message, names::data, nb::str(""));

    if (chunk_index.is_none() || total_chunks.is_none() || chunk_id.is_none()) {
        log().error("[Kernel] Invalid chunk message: missing required fields");
        return nb::none();
    }
    // An id that cannot key the buffers (a list, an object) must not end the
    // connection.
    if (!PyUnicode_Check(chunk_id.ptr()) && !PyLong_Check(chunk_id.ptr()) && !PyFloat_Check(chunk_id.ptr())) {
        log().error("[Kernel] Invalid chunk message: chunk_id must be a string or a number");
        return nb::none();
    }
    if (!PyLong_Check(chunk_index.ptr()) || !PyLong_Check(total_chunks.ptr())) {
        log().error("[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers");
        return nb::none();
    }
    if (less(chunk_index, nb::int_(0)) || !less(chunk_index, total_chunks)) {
        log().error("[Kernel] Invalid chunk_index ", chunk_index, " for total_chunks ", total_chunks);
        return nb::none();
    }
    nb::object max_chunks = module_global(names::MAX_CHUNKS);
    if (less(max_chunks, total_chunks)) {
        log().error("[Kernel] Invalid total_chunks ", total_chunks, ": a chunked message may have at most ",
                    max_chunks, " chunks");
        return nb::none();
    }
    // Both now fit: 0 <= index < total <= MAX_CHUNKS.
    Py_ssize_t index = PyLong_AsSsize_t(chunk_index.ptr());
    Py_ssize_t total = PyLong_AsSsize_t(total_chunks.ptr());
    if (PyErr_Occurred())
        throw nb::python_error();
    if (!chunk_data.is_none() && !PyUnicode_Check(chunk_data.ptr())) {
        log().error("[Kernel] Invalid chunk message: data must be a string");
        return nb::none();
    }

    ChunkBuffers &buffers = connection_of(self).chunk_buffers;
    ChunkBuffers::Buffer *buffer = buffers.find(chunk_id);
    if (!buffer) {
        make_room(buffers, nullptr, true, 0);
        buffer = &buffers.add(chunk_id, total_chunks, total);
    }
    Py_ssize_t slots = static_cast<Py_ssize_t>(buffer->pieces.size());
    if (index >= slots) {
        // Fits its own total_chunks but not the buffer the first piece made.
        log().error("[Kernel] Chunk index ", chunk_index, " out of range for chunk_id ", chunk_id,
                    " (expected ", slots, " chunks); piece dropped");
        return nb::none();
    }
    if (!buffer->pieces[static_cast<size_t>(index)].is_valid()) {
        if (!chunk_data.is_none()) {
            Py_ssize_t length = PyUnicode_GET_LENGTH(chunk_data.ptr());
            Py_ssize_t limit = module_size_constant(names::MAX_CHUNKED_MESSAGE_SIZE);
            if (buffer->characters + length > limit) {
                log().error("[Kernel] Chunked message ", chunk_id, " exceeds ", limit,
                            " characters; message dropped");
                buffers.drop(*buffer);
                return nb::none();
            }
            make_room(buffers, buffer, false, length);
        }
        buffers.store(*buffer, index, chunk_data);
    }
    if (buffer->received != slots)
        return nb::none();

    std::vector<nb::object> pieces = buffers.take(*buffer);
    for (const nb::object &piece : pieces) {
        if (!piece.is_valid()) {
            log().error("[Kernel] Incomplete chunk buffer for chunk_id ", chunk_id);
            return nb::none();
        }
    }
    nb::object full_json = joined_text(pieces);
    nb::object reassembled;
    try {
        reassembled = json_loads(full_json);
    } catch (nb::python_error &e) {
        if (!e.matches(refs.JSONDecodeError))
            throw;
        log().error("[Kernel] Failed to parse reassembled message: ", nb::str(e.value()));
        return nb::none();
    }
    if (PyDict_Check(reassembled.ptr())) {
        nb::object type = get(reassembled, names::type);
        if (type.equal(module_global(names::CHUNK_HEADER_TYPE))) {
            log().error("[Kernel] Nested chunk message detected for chunk_id ", chunk_id, ", rejecting");
            return nb::none();
        }
    }
    return reassembled;
}

namespace {
Coro chunk_result(nb::object self, nb::object message) { co_return handle_chunk(self, message); }
}  // namespace

void define_chunking(ClassBuilder &cls) {
    cls.method(
           "_send_chunked_message",
           [](nb::object self, nb::object raw_json, nb::object message_type, nb::object request_id) {
               require_str(raw_json, "raw_json");
               require_str(message_type, "message_type");
               require_str(request_id, "request_id");
               return send_chunked_message(std::move(self), std::move(raw_json), std::move(message_type),
                                           std::move(request_id))
                   .named("_send_chunked_message", "PythonKernel._send_chunked_message");
           },
           nb::arg("raw_json").none(), nb::arg("message_type").none(), nb::arg("request_id").none())
        .method(
            "_handle_chunk_message",
            [](nb::object self, nb::object message) {
                require_dict(message, "message");
                return chunk_result(std::move(self), std::move(message))
                    .named("_handle_chunk_message", "PythonKernel._handle_chunk_message");
            },
            nb::arg("message").none())
        .property("_chunk_buffers",
                  [](nb::handle self) { return connection_of(self).chunk_buffers.snapshot(); });
}

}  // namespace tarvex::kernel
