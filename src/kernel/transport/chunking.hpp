// Chunked transfer (chunking.cpp): long messages out as chunk frames,
// chunk frames in put back together.
#pragma once

#include <nanobind/nanobind.h>

#include "common/coro.hpp"
#include "kernel/support/py_class.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// Sends `raw_json` (a text of message_text) as chunk frames of CHUNK_SIZE
// characters each.
Coro send_chunked_message(nb::object self, nb::object raw_json, nb::object message_type,
                          nb::object request_id);
// Whether `raw_json` (a text of message_text) is longer than `size`
// characters.
bool longer_than(nb::handle raw_json, Py_ssize_t size);
// The message completed by this chunk, or None.
nb::object handle_chunk(nb::handle self, nb::handle message);

// Adds the chunking methods to the kernel's class.
void define_chunking(ClassBuilder &cls);

}  // namespace tarvex::kernel
