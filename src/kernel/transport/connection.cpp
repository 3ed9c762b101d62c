#include "kernel/transport/connection.hpp"

#include "kernel/support/gc_slots.hpp"
#include "kernel/support/py_class.hpp"

namespace tarvex::kernel {

namespace {

PyTypeObject *connection_type = nullptr;

}  // namespace

int Connection::traverse(visitproc visit, void *arg) {
    if (int r = visit_fields(visit, arg, websocket, socket_lock, loop, batcher, outbox_object))
        return r;
    return chunk_buffers.traverse(visit, arg);
}

void Connection::clear() {
    release_fields(websocket, socket_lock, loop, batcher, outbox_object);
    chunk_buffers.clear();
}

Connection &connection_of(nb::handle kernel) { return state_of<Connection>(kernel, connection_type); }

void define_connection(nb::module_ &m) {
    nb::class_<Connection> cls(m, "_Connection", nb::type_slots(GcSlots<Connection>::slots),
                               "What the transport keeps of the kernel's connection.");
    connection_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
}

}  // namespace tarvex::kernel
