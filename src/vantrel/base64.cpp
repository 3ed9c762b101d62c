#include "vantrel/base64.hpp"

#include <cstdint>
#include <vector>

#include "vantrel/refs.hpp"

namespace vantrel {

namespace {

class BufferView {
public:
    explicit BufferView(PyObject *owner) {
        if (PyObject_GetBuffer(owner, &view_, PyBUF_FULL_RO) < 0)
            throw nb::python_error();
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    Py_buffer &get() { return view_; }

private:
    Py_buffer view_{};
};

size_t encoded_size(size_t size) { return (size + 2) / 3 * 4; }

// Writes encoded_size(size) characters at `out`.
template <typename Char>
void encode(const uint8_t *data, size_t size, Char *out) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t n = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
        *out++ = alphabet[n >> 18];
        *out++ = alphabet[(n >> 12) & 63];
        *out++ = alphabet[(n >> 6) & 63];
        *out++ = alphabet[n & 63];
    }
    if (size - i == 1) {
        uint32_t n = uint32_t(data[i]) << 16;
        *out++ = alphabet[n >> 18];
        *out++ = alphabet[(n >> 12) & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (size - i == 2) {
        uint32_t n = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8;
        *out++ = alphabet[n >> 18];
        *out++ = alphabet[(n >> 12) & 63];
        *out++ = alphabet[(n >> 6) & 63];
        *out++ = '=';
    }
}

// Calls `use(data, size)` with the owner's bytes in C order, as
// bytes(owner) would give them.
template <typename Use>
void with_bytes(nb::handle buffer_owner, Use &&use) {
    BufferView buffer(buffer_owner.ptr());
    Py_buffer &view = buffer.get();
    if (PyBuffer_IsContiguous(&view, 'C')) {
        use(static_cast<const uint8_t *>(view.buf), static_cast<size_t>(view.len));
        return;
    }
    std::vector<uint8_t> flat(static_cast<size_t>(view.len));
    check(PyBuffer_ToContiguous(flat.data(), &view, view.len, 'C'));
    use(flat.data(), flat.size());
}

}  // namespace

nb::object base64_text(nb::handle buffer_owner) {
    nb::object text;
    with_bytes(buffer_owner, [&](const uint8_t *data, size_t size) {
        text = owned(PyUnicode_New(static_cast<Py_ssize_t>(encoded_size(size)), 127));
        encode(data, size, PyUnicode_1BYTE_DATA(text.ptr()));
    });
    return text;
}

void write_base64(nb::handle buffer_owner, const std::function<char *(size_t)> &room) {
    with_bytes(buffer_owner,
               [&](const uint8_t *data, size_t size) { encode(data, size, room(encoded_size(size))); });
}

}  // namespace vantrel
