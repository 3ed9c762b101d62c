#include "common/uuid4.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace tarvex {

namespace {

void random_uuid(uint8_t (&bytes)[16]) {
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
    bytes[6] = (bytes[6] & 0x0f) | 0x40;  // version 4
    bytes[8] = (bytes[8] & 0x3f) | 0x80;  // RFC 4122 variant
}

nb::str format(bool dashes) {
    static const char digits[] = "0123456789abcdef";
    uint8_t bytes[16];
    random_uuid(bytes);
    char text[36];
    size_t n = 0;
    for (size_t i = 0; i < 16; ++i) {
        if (dashes && (i == 4 || i == 6 || i == 8 || i == 10))
            text[n++] = '-';
        text[n++] = digits[bytes[i] >> 4];
        text[n++] = digits[bytes[i] & 0x0f];
    }
    return nb::str(text, n);
}

}  // namespace

nb::str uuid4_hex() { return format(false); }
nb::str uuid4_text() { return format(true); }

}  // namespace tarvex
