// The workbook's modules as the editor saves and deletes them: the loader
// takes the new text (evicting the modules that imported the old one) and
// the language services get it too.
#include "kernel/handlers/handlers.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

Coro on_update_module(nb::object self, nb::object message) {
    nb::object module_name = get(message, names::module_name, nb::str(""));
    nb::object code = get(message, names::code, nb::str(""));
    nb::dict reply;
    if (truthy(module_name)) {
        module_global(names::in_memory_loader).attr(names::update_module)(module_name, code);
        // The editor's diagnostics of the modules that use it see the new text.
        queue_lexora_call(self, names::sync_modules, make_message({{module_name.ptr(), code}}));
        log().info("[Kernel] Updated virtual module: ", module_name);
        reply = make_message({{names::type, nb::str("module_updated")}, {names::module_name, module_name}});
    } else {
        log().warning("[Kernel] Received update_module without module_name");
        reply = make_message({{names::type, nb::str("error")},
                              {names::message, nb::str("update_module requires module_name")}});
    }
    co_await send_message(self, reply);
    co_return nb::none();
}

Coro on_delete_module(nb::object self, nb::object message) {
    nb::object module_name = get(message, names::module_name, nb::str(""));
    nb::dict reply;
    if (truthy(module_name)) {
        module_global(names::in_memory_loader).attr(names::delete_module)(module_name);
        queue_lexora_call(self, names::delete_module, module_name);
        log().info("[Kernel] Deleted virtual module: ", module_name);
        reply = make_message({{names::type, nb::str("module_deleted")}, {names::module_name, module_name}});
    } else {
        log().warning("[Kernel] Received delete_module without module_name");
        reply = make_message({{names::type, nb::str("error")},
                              {names::message, nb::str("delete_module requires module_name")}});
    }
    co_await send_message(self, reply);
    co_return nb::none();
}

}  // namespace tarvex::kernel
