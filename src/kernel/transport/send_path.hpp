// The send path: every message the kernel sends is encoded and written
// here (send_path.cpp). Below everything that sends: it knows the kernel
// object only by its attributes.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/coro.hpp"
#include "kernel/support/py_class.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// send_message(message): the only way out; `message` must be a dict.
Coro send_message(nb::object self, nb::object message);
// A message encoded before it reaches the loop, so that the loop only
// writes it: its type and request id (for logs and chunk headers) and its
// JSON text, or the failure of encoding it.
struct EncodedMessage {
    nb::object message_type, request_id;
    nb::object text;     // see message_text, when encoding succeeded
    nb::object failure;  // the exception, when it failed
    std::string lane;    // where it waits its turn in the outbox (see lane_of)
};
// Whether messages are orjson's UTF-8 bytes: orjson imported and the
// module's own json_dumps in place.
bool messages_as_bytes();
// The JSON text of `message`: when messages_as_bytes(), orjson's UTF-8
// text as a list of bytes parts (see message_parts; sent as they are,
// never decoded), otherwise json_dumps' str.
nb::object message_text(nb::handle message);
// On any thread, with the GIL: `message` encoded by message_text.
EncodedMessage encode_message(nb::handle message);
// On the loop: sends `message` exactly as send_message would have sent the
// dict it was encoded from; a failure of encoding is raised here, where
// send_message would have raised it.
Coro send_encoded(nb::object self, EncodedMessage message);
// On the loop: writes `message` now, whatever else is queued (the outbox's
// drain; everyone else goes through send_encoded).
Coro write_encoded(nb::object self, EncodedMessage message);
// json_dumps(obj) through the module global (so a replacement is honoured).
nb::str dumps(nb::handle obj);

// Adds send_message and _send_message_direct to the kernel's class.
void define_send_path(ClassBuilder &cls);
// Defines MessageBatcher (message_batcher.cpp).
void define_message_batcher(nb::module_ &m);

}  // namespace tarvex::kernel
