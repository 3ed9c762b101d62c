// What the transport keeps of the kernel's connection to the Business
// Layer: the socket and the lock its writes take turns on, the loop they
// live on, the outbox that writes what workers hand over, and the chunked
// messages still being put together. The kernel's state is built on it
// (a C++ base, bound as _Connection), so the send path and chunking reach
// it from the kernel object without knowing anything above them.
#pragma once

#include <nanobind/nanobind.h>

#include "kernel/transport/chunk_buffers.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

class Outbox;

struct Connection {
    nb::object websocket = nb::none();    // the client connection, once connect made it
    nb::object socket_lock = nb::none();  // asyncio.Lock made by connect: one write at a time
    nb::object loop = nb::none();         // the listener's event loop, set by connect
    nb::object batcher = nb::none();      // the MessageBatcher connect starts
    bool running = false;                 // connected: set by connect, cleared when the connection ends
    // The writer of what workers hand over: an _Outbox, made by connect.
    nb::object outbox_object = nb::none();
    ChunkBuffers chunk_buffers;  // on the loop only

    // The outbox, or nullptr before connect.
    Outbox *outbox() const { return outbox_object.is_none() ? nullptr : nb::inst_ptr<Outbox>(outbox_object); }

    int traverse(visitproc visit, void *arg);
    void clear();
};

// The connection of a kernel object (TypeError for anything else, or for
// a kernel whose __init__ has not run).
Connection &connection_of(nb::handle kernel);

// Binds _Connection, the base of the kernel's state.
void define_connection(nb::module_ &m);

}  // namespace tarvex::kernel
