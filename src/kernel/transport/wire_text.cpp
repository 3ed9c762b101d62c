#include "kernel/transport/wire_text.hpp"

#include <cstring>

#include "common/errors.hpp"
#include "kernel/json_dumps.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "vantrel/wire_json_api.hpp"

namespace tarvex::kernel {

namespace {
const vantrel::WireJsonApi *writer = nullptr;  // lives as long as the bridge module, which is never unloaded
}  // namespace

void init_wire_text(nb::handle bridge_module) {
    nb::object capsule = bridge_module.attr("_wire_json_api");
    void *api = PyCapsule_GetPointer(capsule.ptr(), vantrel::kWireJsonCapsule);
    if (!api)
        throw nb::python_error();
    writer = static_cast<const vantrel::WireJsonApi *>(api);
}

nb::bytes wire_text(nb::handle value) { return owned<nb::bytes>(writer->wire_json(value.ptr())); }

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
        return json_fragment(text);
    return json_module_loads(text);
}

}  // namespace tarvex::kernel
