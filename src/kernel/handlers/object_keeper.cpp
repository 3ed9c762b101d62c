// The object keeper (named user objects that outlive one run) and the small
// services user code reaches through tarvex._kernel_instance. User code calls
// them on worker threads; each change is announced to the Business Layer
// without waiting for the send. No user code runs under _object_keeper_lock:
// values leave the store under it and are dropped or shown after it is free
// (a __del__ or __repr__ may call back into the keeper, or block).
#include "common/args.hpp"
#include "common/held_lock.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"
#include "kernel/transport/wire_text.hpp"

namespace tarvex::kernel {

namespace {

void announce(nb::handle self, nb::handle message) { post_message(self, message); }

// _deserialize_args: wire values to Python values, decoded by the bridge.
nb::list from_wire_args(nb::handle, nb::object args) {
    require_list(args, "args");
    return from_wire_list(args);
}

void save_object(nb::handle self, nb::object key, nb::object value) {
    require_str(key, "key");
    KernelState &state = kernel_state(self);
    if (PyUnicode_GET_LENGTH(key.ptr()) == 0) {
        PyErr_SetString(PyExc_ValueError, "ObjectKeeper key must be a non-empty string");
        throw nb::python_error();
    }
    nb::object replaced;  // let go on return, once the lock is free and the change announced
    {
        HeldLock held(state.object_keeper_lock);
        nb::object store = state.object_keeper;
        replaced = store.attr("get")(key);  // still held: the store's reference goes below
        store[key] = value;
    }
    nb::object name = type_name_of(value);
    nb::dict message = make_message({{names::type, nb::str("object_registry_update")},
                                     {names::action, nb::str("update")},
                                     {names::key, key},
                                     {names::object_type, name},
                                     {names::repr, repr_text(value)},
                                     {names::workbook_id, state.workbook_id}});
    announce(self, message);
    log().debug("[Kernel] Saved object: ", key, " (type: ", name, ")");
}

nb::object get_object(nb::handle self, nb::object key) {
    require_str(key, "key");
    KernelState &state = kernel_state(self);
    HeldLock held(state.object_keeper_lock);
    return get(state.object_keeper, key.ptr());
}

void clear_object(nb::handle self, nb::object key) {
    require_str(key, "key");
    KernelState &state = kernel_state(self);
    nb::object removed;  // let go on return, once the lock is free and the change announced
    {
        HeldLock held(state.object_keeper_lock);
        removed = state.object_keeper.attr("pop")(key, nb::none());
    }
    announce(self, make_message({{names::type, nb::str("object_registry_update")},
                                 {names::action, nb::str("delete")},
                                 {names::key, key},
                                 {names::workbook_id, state.workbook_id}}));
    log().debug("[Kernel] Cleared object: ", key);
}

void clear_all_objects(nb::handle self) {
    KernelState &state = kernel_state(self);
    nb::object removed;  // let go on return, once the lock is free and the change announced
    {
        HeldLock held(state.object_keeper_lock);
        nb::object store = state.object_keeper;
        removed = store.attr("copy")();
        store.attr("clear")();
    }
    announce(self, make_message({{names::type, nb::str("object_registry_update")},
                                 {names::action, nb::str("clear_all")},
                                 {names::workbook_id, state.workbook_id}}));
    log().debug("[Kernel] Cleared all objects");
}

void set_enable_events(nb::handle self, nb::handle enable) {
    KernelState &state = kernel_state(self);
    bool on = truthy(enable);
    announce(self, make_message({{names::type, nb::str("set_enable_events")},
                                 {names::enable, nb::bool_(on)},
                                 {names::workbook_id, state.workbook_id}}));
    log().debug("[Kernel] Set enable_events: ", on ? "True" : "False");
}

void show_message_box(nb::handle self, nb::object message, nb::object title, nb::object type) {
    require_str(message, "message");
    require_str(title, "title");
    require_str(type, "type");
    KernelState &state = kernel_state(self);
    announce(self, make_message({{names::type, nb::str("show_message_box")},
                                 {names::message, message},
                                 {names::title, title},
                                 {names::msg_type, type},
                                 {names::workbook_id, state.workbook_id}}));
    log().debug("[Kernel] Requested message box: title='", title, "', type='", type, "'");
}

nb::list get_object_registry(nb::handle self) {
    KernelState &state = kernel_state(self);
    nb::object items;
    {
        HeldLock held(state.object_keeper_lock);
        items = nb::list(state.object_keeper.attr("items")());
    }
    nb::list registry;
    for (nb::handle item : items) {
        nb::object key = item[0], value = item[1];
        registry.append(make_message(
            {{names::key, key}, {names::type, type_name_of(value)}, {names::repr, repr_text(value)}}));
    }
    return registry;
}

}  // namespace

// Building the registry calls repr() of user values: on a pool thread.
Coro on_get_object_registry(nb::object self, nb::object) {
    log().debug("[Kernel] Received get_object_registry request");
    nb::object registry = co_await run_in_worker(kernel_state(self).thread_pool, running_loop(),
                                                 [self] { return get_object_registry(self); });
    co_await send_message(self, make_message({{names::type, nb::str("object_registry_response")},
                                              {names::objects, registry},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    co_return nb::none();
}

void define_object_keeper(ClassBuilder &cls) {
    cls.method("_deserialize_args", &from_wire_args, nb::arg("args").none())
        .method("save_object", &save_object, nb::arg("key").none(), nb::arg("value").none())
        .method("get_object", &get_object, nb::arg("key").none())
        .method("clear_object", &clear_object, nb::arg("key").none())
        .method("clear_all_objects", &clear_all_objects)
        .method("set_enable_events", &set_enable_events, nb::arg("enable").none())
        .method("show_message_box", &show_message_box, nb::arg("message").none(),
                nb::arg("title").none() = "Tarvex", nb::arg("type").none() = "Info")
        .method("get_object_registry", [](nb::handle self) { return get_object_registry(self); });
}

}  // namespace tarvex::kernel
