#include "kernel/transport/chunk_buffers.hpp"

#include <utility>

#include "common/errors.hpp"
#include "common/py_ops.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

ChunkBuffers::Buffer *ChunkBuffers::find(nb::handle id) {
    PyObject *serial = nullptr;
    if (PyDict_GetItemRef(serials_.ptr(), id.ptr(), &serial) < 0)
        throw nb::python_error();
    if (!serial)
        return nullptr;
    auto found = buffers_.find(PyLong_AsUnsignedLongLong(serial));
    Py_DECREF(serial);
    return found == buffers_.end() ? nullptr : &found->second;
}

ChunkBuffers::Buffer &ChunkBuffers::add(nb::handle id, nb::handle total, Py_ssize_t slots) {
    std::uint64_t serial = next_serial_++;
    serials_[id] = nb::int_(serial);
    Buffer &buffer = buffers_[serial];
    buffer.serial = serial;
    buffer.id = nb::borrow(id);
    buffer.total = nb::borrow(total);
    buffer.pieces.resize(static_cast<size_t>(slots));
    return buffer;
}

void ChunkBuffers::store(Buffer &buffer, Py_ssize_t index, nb::handle data) {
    ++buffer.received;
    if (data.is_none())
        return;
    Py_ssize_t length = PyUnicode_GET_LENGTH(data.ptr());
    buffer.pieces[static_cast<size_t>(index)] = nb::borrow(data);
    buffer.characters += length;
    characters_ += length;
}

std::vector<nb::object> ChunkBuffers::take(Buffer &buffer) {
    auto found = buffers_.find(buffer.serial);
    std::vector<nb::object> pieces = std::move(found->second.pieces);
    nb::object id = std::move(found->second.id);
    characters_ -= found->second.characters;
    buffers_.erase(found);
    if (PyDict_DelItem(serials_.ptr(), id.ptr()) < 0)
        throw nb::python_error();
    return pieces;
}

ChunkBuffers::Buffer *ChunkBuffers::oldest_other_than(const Buffer *keep) {
    for (auto &[serial, buffer] : buffers_)
        if (&buffer != keep)
            return &buffer;
    return nullptr;
}

nb::dict ChunkBuffers::snapshot() const {
    nb::dict buffers;
    for (const auto &[serial, buffer] : buffers_) {
        nb::list chunks;
        for (const nb::object &piece : buffer.pieces) chunks.append(piece.is_valid() ? piece : nb::none());
        buffers[buffer.id] = make_message({{names::chunks, chunks},
                                           {names::received, nb::int_(buffer.received)},
                                           {names::total, buffer.total}});
    }
    return buffers;
}

int ChunkBuffers::traverse(visitproc visit, void *arg) {
    Py_VISIT(serials_.ptr());
    for (const auto &[serial, buffer] : buffers_) {
        Py_VISIT(buffer.id.ptr());
        Py_VISIT(buffer.total.ptr());
        for (const nb::object &piece : buffer.pieces) Py_VISIT(piece.ptr());
    }
    return 0;
}

void ChunkBuffers::clear() {
    // Released only once the buffers are empty: a piece's finalizer may look.
    // The ids are strs and numbers, whose release runs no code, so the map
    // of serials is emptied in place (nothing is allocated here).
    std::map<std::uint64_t, Buffer> released = std::move(buffers_);
    buffers_.clear();
    characters_ = 0;
    PyDict_Clear(serials_.ptr());
}

}  // namespace tarvex::kernel
