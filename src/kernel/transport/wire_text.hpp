// Wire values in replies: the JSON text of Serializer.to_wire(value),
// written by the object bridge straight from the Python value (no wire
// dicts), and carried in a message so that it is encoded once however many
// messages of the reply hold it.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace tarvex::kernel {

namespace nb = nanobind;

// Finds the writer and the decoder in the object bridge's module, at module
// load, and defines the module's _WireText.
void init_wire_text(nb::module_ &module, nb::handle bridge_module);

// The UTF-8 JSON text of to_wire(value), as bytes; a replaced to_wire is
// called as before.
nb::bytes wire_text(nb::handle value);

// The bridge's from_wire of each wire value in `values` (exactly a list),
// as a new list; a replaced from_wire is called as before.
nb::list from_wire_list(nb::handle values);

// The text of the list of wire values whose texts are `items`: what a
// generator's results make.
nb::bytes wire_list_text(const std::vector<nb::bytes> &items);

// Whether `text` is JSON null (what a to_wire replaced to return None gives).
bool is_null_text(nb::handle text);

// What a message holds for the wire value of `text`: a _WireText when
// messages are orjson's text (message_parts puts the text in its place,
// so it is never encoded again); otherwise (no orjson, or json_dumps
// replaced) the value it reads back as, for json.dumps or the replacement
// to encode.
nb::object wire_field(nb::handle text);

// orjson's UTF-8 text of `message` as a list of bytes that, written in
// order, make it: the text of each _WireText at the message's top level
// is a part of its own, between the parts orjson wrote.
nb::list message_parts(nb::handle message);

// The parts made into one bytes (the part itself when there is one).
nb::bytes joined(nb::handle parts);

}  // namespace tarvex::kernel
