#include "kernel/transport/wire_text.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/errors.hpp"
#include "kernel/transport/json_dumps.hpp"
#include "kernel/transport/send_path.hpp"
#include "vantrel/wire_json_api.hpp"

namespace tarvex::kernel {

namespace {

const vantrel::WireJsonApi *bridge = nullptr;  // lives as long as the bridge module, which is never unloaded

// A wire value's JSON text standing in a message. Neither orjson nor json
// can encode it: only message_bytes writes it.
struct WireText {
    nb::bytes text;
};

// Stands where a wire text goes while orjson writes the rest of the
// message: orjson escapes every control character it writes itself, so a
// raw NUL byte in its output is only ever this.
constexpr char slot_byte = '\0';
PyObject *slot = nullptr;  // orjson.Fragment(b"\0"), leaked like every module-level reference

}  // namespace

void init_wire_text(nb::module_ &module, nb::handle bridge_module) {
    nb::object capsule = bridge_module.attr("_wire_json_api");
    void *api = PyCapsule_GetPointer(capsule.ptr(), vantrel::kWireJsonCapsule);
    if (!api)
        throw nb::python_error();
    bridge = static_cast<const vantrel::WireJsonApi *>(api);
    if (have_orjson())
        slot = json_fragment(nb::bytes(&slot_byte, 1)).release().ptr();
    nb::class_<WireText>(module, "_WireText", "A wire value's JSON text in an outgoing message.");
}

nb::bytes wire_text(nb::handle value) { return owned<nb::bytes>(bridge->wire_json(value.ptr())); }

nb::list from_wire_list(nb::handle values) { return owned<nb::list>(bridge->from_wire_list(values.ptr())); }

nb::bytes wire_list_text(const std::vector<nb::bytes> &items) {
    Py_ssize_t size = 2 + (items.empty() ? 0 : static_cast<Py_ssize_t>(items.size()) - 1);
    for (const nb::bytes &item : items) size += PyBytes_GET_SIZE(item.ptr());
    nb::bytes text = owned<nb::bytes>(PyBytes_FromStringAndSize(nullptr, size));
    char *at = PyBytes_AS_STRING(text.ptr());
    *at++ = '[';
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            *at++ = ',';
        Py_ssize_t n = PyBytes_GET_SIZE(items[i].ptr());
        std::memcpy(at, PyBytes_AS_STRING(items[i].ptr()), static_cast<size_t>(n));
        at += n;
    }
    *at = ']';
    return text;
}

bool is_null_text(nb::handle text) {
    return PyBytes_GET_SIZE(text.ptr()) == 4 && std::memcmp(PyBytes_AS_STRING(text.ptr()), "null", 4) == 0;
}

nb::object wire_field(nb::handle text) {
    if (messages_as_bytes())
        return nb::cast(WireText{nb::borrow<nb::bytes>(text)});
    return json_module_loads(text);
}

namespace {
nb::bytes slice(const char *from, const char *to) {
    return owned<nb::bytes>(PyBytes_FromStringAndSize(from, to - from));
}
}  // namespace

// The texts are never copied into one whole: a fresh buffer the size of a
// long value costs more than writing it (its pages are new), and the chunk
// frames read the parts in place.
nb::list message_parts(nb::handle message) {
    nb::list parts;
    std::vector<std::pair<nb::handle, nb::handle>> texts;  // key, text
    if (PyDict_CheckExact(message.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(message.ptr(), &pos, &key, &value))
            if (nb::isinstance<WireText>(value))
                texts.emplace_back(key, nb::inst_ptr<WireText>(value)->text);
    }
    if (texts.empty()) {
        parts.append(orjson_bytes(message));
        return parts;
    }
    nb::dict skeleton = owned<nb::dict>(PyDict_Copy(message.ptr()));
    for (auto [key, text] : texts)
        if (PyDict_SetItem(skeleton.ptr(), key.ptr(), slot) < 0)
            throw nb::python_error();
    nb::bytes outline = orjson_bytes(skeleton);
    const char *at = PyBytes_AS_STRING(outline.ptr());
    const char *end = at + PyBytes_GET_SIZE(outline.ptr());
    for (auto [key, text] : texts) {
        // Values are written in the dict's order, so the slots are in the
        // order of `texts`.
        const char *mark =
            static_cast<const char *>(std::memchr(at, slot_byte, static_cast<size_t>(end - at)));
        if (!mark) {
            PyErr_SetString(PyExc_RuntimeError, "a wire text's place is missing from the message");
            throw nb::python_error();
        }
        parts.append(slice(at, mark));
        parts.append(text);
        at = mark + 1;
    }
    parts.append(slice(at, end));
    return parts;
}

nb::bytes joined(nb::handle parts) {
    Py_ssize_t count = PyList_GET_SIZE(parts.ptr());
    if (count == 1)
        return nb::borrow<nb::bytes>(PyList_GET_ITEM(parts.ptr(), 0));
    Py_ssize_t size = 0;
    for (Py_ssize_t i = 0; i < count; ++i) size += PyBytes_GET_SIZE(PyList_GET_ITEM(parts.ptr(), i));
    nb::bytes whole = owned<nb::bytes>(PyBytes_FromStringAndSize(nullptr, size));
    char *out = PyBytes_AS_STRING(whole.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *part = PyList_GET_ITEM(parts.ptr(), i);
        out = std::copy_n(PyBytes_AS_STRING(part), PyBytes_GET_SIZE(part), out);
    }
    return whole;
}

}  // namespace tarvex::kernel
