#include "vantrel/uuid4.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

#include "vantrel/refs.hpp"

namespace vantrel {

nb::object uuid4_hex() {
    uint8_t bytes[16];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            PyErr_SetFromErrno(PyExc_OSError);
            throw nb::python_error();
        }
        filled += static_cast<size_t>(n);
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant

    static const char digits[] = "0123456789abcdef";
    nb::object text = checked(PyUnicode_New(32, 127));
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(text.ptr());
    for (size_t i = 0; i < sizeof bytes; ++i) {
        out[2 * i] = static_cast<Py_UCS1>(digits[bytes[i] >> 4]);
        out[2 * i + 1] = static_cast<Py_UCS1>(digits[bytes[i] & 0x0f]);
    }
    return text;
}

}  // namespace vantrel
