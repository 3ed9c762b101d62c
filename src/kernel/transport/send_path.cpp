// The one way out: send_message -> one text frame, or a run of chunk frames
// for long messages. Every write holds _socket_lock, so frames of different
// messages never interleave.
#include "kernel/transport/send_path.hpp"

#include <chrono>

#include "common/args.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/chunking.hpp"
#include "kernel/transport/connection.hpp"
#include "kernel/transport/json_dumps.hpp"
#include "kernel/transport/outbox.hpp"
#include "kernel/transport/wire_text.hpp"

namespace tarvex::kernel {

namespace {

// A lock wait above this is worth a warning (measured from the start of the
// send, so including serialization when it happens there, outside the lock).
constexpr double slow_lock_wait_ms = 5.0;

// The chunk header carries type and request id as text; a null or odd value
// there must not make a long message unsendable.
nb::object header_text(nb::handle value, const char *fallback) {
    if (PyUnicode_CheckExact(value.ptr()))
        return nb::borrow(value);
    if (value.is_none())
        return nb::str(fallback);
    return nb::str(value);
}

// The socket and its lock, or a warning and false when there is nothing to
// send on.
bool ready_to_send(nb::handle self, nb::handle message_type, nb::object &websocket, nb::object &lock) {
    Connection &connection = connection_of(self);
    websocket = connection.websocket;
    lock = connection.socket_lock;
    if (truthy(websocket) && !lock.is_none())
        return true;
    log().warning("[Kernel] Cannot send message type '", message_type,
                  "': ", truthy(websocket) ? "Socket lock not initialized" : "WebSocket not connected");
    return false;
}

// Writes one encoded message (str, or UTF-8 parts sent as one text frame):
// one frame, or chunk frames when it is longer than CHUNK_SIZE characters.
Coro write_text(nb::object self, nb::object websocket, nb::object lock, nb::object raw_json,
                nb::object message_type, nb::object request_id, std::chrono::steady_clock::time_point start) {
    if (longer_than(raw_json, module_size_constant(names::CHUNK_SIZE))) {
        co_await send_chunked_message(self, raw_json, header_text(message_type, "unknown"),
                                      header_text(request_id, "N/A"));
    } else {
        auto held = co_await acquire(lock);
        double waited_ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (waited_ms > slow_lock_wait_ms)
            log().warning("[TIMING] Socket lock waited ", ms1(waited_ms), "ms for: type=", message_type);
        if (PyList_Check(raw_json.ptr()))
            co_await websocket.attr(names::send)(joined(raw_json), nb::arg("text") = true);
        else
            co_await websocket.attr(names::send)(raw_json);
    }
    log().debug("[TIMING] Message sent: type=", message_type, ", request_id=", request_id);
    co_return nb::none();
}

bool own_json_dumps(nb::handle function) { return function.ptr() == refs.json_dumps_function; }

}  // namespace

bool messages_as_bytes() { return have_orjson() && own_json_dumps(module_global(names::json_dumps)); }

nb::object message_text(nb::handle message) {
    if (messages_as_bytes())
        return message_parts(message);
    return dumps(message);
}

nb::str dumps(nb::handle obj) {
    nb::object function = module_global(names::json_dumps);
    if (own_json_dumps(function))
        return json_dumps(obj);
    nb::object text = function(obj);
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "json_dumps must return str, not %.200s", Py_TYPE(text.ptr())->tp_name);
        throw nb::python_error();
    }
    return nb::borrow<nb::str>(text);
}

EncodedMessage encode_message(nb::handle message) {
    nb::object request_id = get(message, names::request_id, nb::str("N/A"));
    EncodedMessage encoded{get(message, names::type, nb::str("unknown")), request_id, nb::object(),
                           nb::object(), lane_of(request_id)};
    try {
        encoded.text = message_text(message);
    } catch (...) {
        encoded.failure = catch_any();
    }
    return encoded;
}

Coro write_encoded(nb::object self, EncodedMessage message) {
    nb::object websocket, lock;
    if (!ready_to_send(self, message.message_type, websocket, lock))
        co_return nb::none();
    log().debug("[TIMING] Acquiring socket lock for: type=", message.message_type,
                ", request_id=", message.request_id);
    auto start = std::chrono::steady_clock::now();
    if (message.failure.is_valid())
        raise(message.failure);  // where send_message would have raised it
    co_await write_text(self, websocket, lock, message.text, message.message_type, message.request_id, start);
    co_return nb::none();
}

// The loop's own sends: written at once, unless messages of the same
// request handed over by workers are still waiting, in which case they
// wait their turn behind those.
Coro send_encoded(nb::object self, EncodedMessage message) {
    Outbox *box = outbox_of(self);
    if (box && box->busy(message.lane))
        co_await box->send_in_turn(self, std::move(message));
    else
        co_await write_encoded(self, std::move(message));
    co_return nb::none();
}

Coro send_message(nb::object self, nb::object message) {
    return send_encoded(std::move(self), encode_message(message));
}

namespace {

// send_message and _send_message_direct are one send under two names.
template <const char *Name, const char *Qualname>
Coro send_face(nb::object self, nb::object message) {
    require_dict(message, "message");
    return send_message(std::move(self), std::move(message)).named(Name, Qualname);
}

constexpr char send_message_name[] = "send_message";
constexpr char send_message_qualname[] = "PythonKernel.send_message";
constexpr char send_direct_name[] = "_send_message_direct";
constexpr char send_direct_qualname[] = "PythonKernel._send_message_direct";

}  // namespace

void define_send_path(ClassBuilder &cls) {
    cls.method("send_message", &send_face<send_message_name, send_message_qualname>,
               nb::arg("message").none())
        .method("_send_message_direct", &send_face<send_direct_name, send_direct_qualname>,
                nb::arg("message").none());
}

}  // namespace tarvex::kernel
