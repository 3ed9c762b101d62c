// A message that cannot be handled (a field of the wrong type, a missing
// field, an unhashable id, a JSON value that is not an object) is refused
// with an error reply, and the kernel keeps serving with its namespace
// intact. Only a closed connection and shutdown end it.
#include "common/args.hpp"
#include "common/errors.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace {

bool failure_is_connection_closed(nb::handle error) {
    nb::object closed = module_global(names::websockets).attr("ConnectionClosed");
    return PyObject_IsInstance(error.ptr(), closed.ptr()) == 1;
}

}  // namespace

Coro refuse(nb::object self, nb::object message, nb::object error) {
    if (failure_is_connection_closed(error))
        raise(error);  // nobody left to answer: the connection's end ends the kernel
    bool is_object = PyDict_Check(message.ptr());
    nb::object message_type = is_object ? get(message, names::type) : nb::none();
    nb::object text =
        is_object ? owned(PyUnicode_FromFormat("Could not handle message of type '%S': %S: %S",
                                               message_type.ptr(), type_name_of(error).ptr(), error.ptr()))
                  : owned(PyUnicode_FromFormat("Message must be a JSON object, not %S",
                                               type_name_of(message).ptr()));
    log().error("[Kernel] Failed to handle message type ", message_type, ": ", type_name_of(error), ": ",
                nb::str(error));
    nb::dict reply = make_message({{names::type, nb::str("error")}, {names::message, text}});
    if (is_object && PyDict_Contains(message.ptr(), names::request_id) == 1)
        reply[names::request_id] = get(message, names::request_id);
    co_await send_message(self, reply);
    co_return nb::none();
}

Coro refusing_failures(nb::object self, nb::object message, nb::object handler) {
    nb::object failure;
    try {
        co_await handler;
    } catch (...) {
        failure = catch_exception();  // cancellation passes through
    }
    if (!failure.is_valid())
        co_return nb::none();
    if (failure_is_connection_closed(failure)) {
        log().debug("[Kernel] Reply not sent, the connection closed: ", nb::str(failure));
        co_return nb::none();
    }
    co_await refuse(self, message, failure);
    co_return nb::none();
}

}  // namespace tarvex::kernel
