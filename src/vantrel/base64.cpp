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

nb::object encode(const uint8_t *data, size_t size) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t out_size = (size + 2) / 3 * 4;
    nb::object text = checked(PyUnicode_New(static_cast<Py_ssize_t>(out_size), 127));
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(text.ptr());
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
    return text;
}

}  // namespace

nb::object base64_text(nb::handle buffer_owner) {
    BufferView buffer(buffer_owner.ptr());
    Py_buffer &view = buffer.get();
    if (PyBuffer_IsContiguous(&view, 'C'))
        return encode(static_cast<const uint8_t *>(view.buf), static_cast<size_t>(view.len));
    // A strided view: its bytes in C order, as bytes(view) would give them.
    std::vector<uint8_t> flat(static_cast<size_t>(view.len));
    check(PyBuffer_ToContiguous(flat.data(), &view, view.len, 'C'));
    return encode(flat.data(), flat.size());
}

}  // namespace vantrel
