// The JSON text of a wire value, written straight from the Python value:
// the text that encoding Serializer.to_wire(value) with orjson gives, with
// no wire dict ever built (for a large table, building them is most of the
// cost of sending it).
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <string_view>

#include "vantrel/wire.hpp"

namespace vantrel {

namespace nb = nanobind;

// The UTF-8 JSON text of Serializer.to_wire(value). A replaced
// Serializer.to_wire is called instead, for the value or for the elements
// it would see, and what it returns is encoded. Raises nb::python_error.
nb::bytes wire_json(nb::handle value);

// Serializer.to_wire_json, and the capsule that lets other extension
// modules call write_wire_json (wire_json_api.hpp).
void init_wire_json(nb::module_ &m);

// ---- pieces shared by the writer's files ----

// The text being written, kept in the bytes object it ends up in: a large
// text grows by realloc and is never copied out at the end. It grows only
// with the GIL held; code running without it writes into room taken before.
class JsonOut {
public:
    JsonOut();
    ~JsonOut() { Py_XDECREF(bytes_); }
    JsonOut(const JsonOut &) = delete;
    JsonOut &operator=(const JsonOut &) = delete;

    // At least `size` writable bytes past the text; `advance` keeps them.
    char *room(size_t size) {
        if (capacity_ - size_ < size)
            grow(size);
        return data_ + size_;
    }
    void advance(size_t size) { size_ += size; }

    // A hint: about `size` more bytes will follow. Room not written to
    // is never touched, so guessing high costs little; growing by steps
    // copies the text each time.
    void reserve(size_t size) {
        if (capacity_ - size_ < size)
            grow(size);
    }

    void append(std::string_view text) {
        std::memcpy(room(text.size()), text.data(), text.size());
        size_ += text.size();
    }
    void append(const char *begin, const char *end) { append(std::string_view(begin, end - begin)); }
    void push_back(char c) {
        *room(1) = c;
        ++size_;
    }

    // The text as a bytes object; the writer is empty afterwards.
    nb::bytes finish();

private:
    void grow(size_t size);

    PyObject *bytes_ = nullptr;
    char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

// A wire value is its tag's head, the payload, and a tail.
inline constexpr std::string_view kNullWire = R"({"type":"Null","value":null,"isSpec":false})";
inline constexpr std::string_view kTrueWire = R"({"type":"Bool","value":true,"isSpec":false})";
inline constexpr std::string_view kFalseWire = R"({"type":"Bool","value":false,"isSpec":false})";
inline constexpr std::string_view kIntHead = R"({"type":"Int","value":)";
inline constexpr std::string_view kFloatHead = R"({"type":"Float","value":)";
inline constexpr std::string_view kStringHead = R"({"type":"String","value":)";
inline constexpr std::string_view kArrayHead = R"({"type":"Array","value":[)";
inline constexpr std::string_view kPlainTail = R"(,"isSpec":false})";
inline constexpr std::string_view kArrayTail = R"(],"isSpec":false})";
// About the length of one element's wire text, for JsonOut::reserve.
inline constexpr size_t kElementGuess = 48;

// Room format_double and format_integer need.
inline constexpr size_t kNumberRoom = 32;

// A float as orjson writes it (shortest text that reads back the same;
// NaN and the infinities as null); returns the end of the text.
char *format_double(double value, char *at);
char *format_integer(long long value, char *at);
char *format_integer(unsigned long long value, char *at);

inline void append_double(double value, JsonOut &out) {
    char *at = out.room(kNumberRoom);
    out.advance(format_double(value, at) - at);
}

// A JSON string of a str (subclasses too).
void append_text(PyObject *text, JsonOut &out);

// The to_wire rules for one value, when Serializer.to_wire is our own.
void append_wire(nb::handle value, JsonOut &out);

// One element of a container, through the converter as to_wire would.
void append_element(const ElementConverter &convert, nb::handle element, JsonOut &out);

// The JSON text of plain data (what a replaced Serializer.to_wire returns).
void append_json(nb::handle value, JsonOut &out);

// The table rule (wire_json_tables.cpp).
void append_table(nb::handle table, JsonOut &out);

}  // namespace vantrel
