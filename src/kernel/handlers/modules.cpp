// The workbook's modules as the editor saves and deletes them: the loader
// takes the new text (evicting the modules that imported the old one) and
// the language services get it too.
#include "kernel/handlers/handlers.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace {

// The reply to update_module or delete_module (`request`): `done` names
// the module, and a message without a module_name is answered with an
// error that says so.
Coro answer_module_request(nb::object self, nb::object module_name, const char *done, const char *request) {
    nb::dict reply;
    if (truthy(module_name)) {
        reply = make_message({{names::type, nb::str(done)}, {names::module_name, module_name}});
    } else {
        log().warning("[Kernel] Received ", request, " without module_name");
        std::string text = concat(request, " requires module_name");
        reply = make_message({{names::type, nb::str("error")}, {names::message, nb::str(text.c_str())}});
    }
    co_await send_message(self, reply);
    co_return nb::none();
}

}  // namespace

Coro on_update_module(nb::object self, nb::object message) {
    nb::object module_name = get(message, names::module_name, nb::str(""));
    nb::object code = get(message, names::code, nb::str(""));
    if (truthy(module_name)) {
        module_global(names::in_memory_loader).attr(names::update_module)(module_name, code);
        // The editor's diagnostics of the modules that use it see the new text.
        queue_lexora_call(self, names::sync_modules, make_message({{module_name.ptr(), code}}));
        log().info("[Kernel] Updated virtual module: ", module_name);
    }
    return answer_module_request(std::move(self), std::move(module_name), "module_updated", "update_module");
}

Coro on_delete_module(nb::object self, nb::object message) {
    nb::object module_name = get(message, names::module_name, nb::str(""));
    if (truthy(module_name)) {
        module_global(names::in_memory_loader).attr(names::delete_module)(module_name);
        queue_lexora_call(self, names::delete_module, module_name);
        log().info("[Kernel] Deleted virtual module: ", module_name);
    }
    return answer_module_request(std::move(self), std::move(module_name), "module_deleted", "delete_module");
}

}  // namespace tarvex::kernel
