// MessageBatcher: messages handed to enqueue() leave within about
// FLUSH_INTERVAL, in queue order, several at once as one "batch" message.
// The kernel's own messages do not go through it.
#include "common/args.hpp"
#include "kernel/transport/send_path.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

void init(nb::handle self, nb::handle kernel) {
    self.attr(names::_kernel) = kernel;
    self.attr(names::_queue) = nb::handle(refs.asyncio_Queue)();
    self.attr(names::_flush_task) = nb::none();
    self.attr(names::_running) = false;
}

// Sends `first` (when valid) and everything queued, as one message or one
// "batch" message.
Coro flush(nb::object self, nb::object first) {
    nb::object queue = self.attr(names::_queue);
    nb::list drained;
    if (first.is_valid())
        drained.append(first);
    nb::object empty = queue.attr("empty");
    nb::object get_nowait = queue.attr("get_nowait");
    while (!truthy(empty())) {
        try {
            drained.append(get_nowait());
        } catch (nb::python_error &e) {
            if (!e.matches(refs.asyncio_QueueEmpty))
                throw;
            break;
        }
    }
    Py_ssize_t count = PyList_GET_SIZE(drained.ptr());
    if (count == 0)
        co_return nb::none();
    nb::object send_direct = self.attr(names::_kernel).attr("_send_message_direct");
    if (count == 1)
        co_await send_direct(drained[0]);
    else
        co_await send_direct(make_message({{names::type, nb::str("batch")}, {names::messages, drained}}));
    co_return nb::none();
}

Coro flush_now(nb::object self) { return flush(std::move(self), nb::object()); }

// Sleeps until something is queued (an idle kernel never wakes), then lets
// FLUSH_INTERVAL pass so that what follows the first message leaves with it.
Coro flush_loop(nb::object self) {
    while (truthy(self.attr(names::_running))) {
        nb::object first = co_await self.attr(names::_queue).attr("get")();
        nb::object cancelled;
        try {
            co_await nb::handle(refs.asyncio_sleep)(self.attr(names::FLUSH_INTERVAL));
        } catch (nb::python_error &e) {
            if (!e.matches(refs.CancelledError))
                throw;
            cancelled = nb::borrow(e.value());  // the message already taken must still leave
        }
        co_await flush(self, first);
        if (cancelled.is_valid())
            raise(cancelled);
    }
    co_return nb::none();
}

Coro start(nb::object self) {
    self.attr(names::_running) = true;
    nb::object loop = flush_loop(self).named("_flush_loop", "MessageBatcher._flush_loop").object();
    self.attr(names::_flush_task) = nb::handle(refs.create_task)(loop);
    co_return nb::none();
}

Coro stop(nb::object self) {
    self.attr(names::_running) = false;
    nb::object task = self.attr(names::_flush_task);
    if (!task.is_none()) {
        task.attr(names::cancel)();
        try {
            co_await task;
        } catch (nb::python_error &e) {
            if (!e.matches(refs.CancelledError))
                throw;
        }
    }
    co_await flush_now(self);  // nothing queued is lost
    co_return nb::none();
}

Coro enqueue(nb::object self, nb::object message) {
    co_await self.attr(names::_queue).attr("put")(message);
    co_return nb::none();
}

}  // namespace

void define_message_batcher(nb::module_ &m) {
    ClassBuilder(m, "MessageBatcher")
        .doc("Coalesces queued messages into one send every FLUSH_INTERVAL seconds.")
        .attr("FLUSH_INTERVAL", nb::float_(0.01))
        .method("__init__", &init, nb::arg("kernel").none())
        .method("start", [](nb::object self) { return start(self).named("start", "MessageBatcher.start"); })
        .method("stop", [](nb::object self) { return stop(self).named("stop", "MessageBatcher.stop"); })
        .method(
            "enqueue",
            [](nb::object self, nb::object message) {
                require_dict(message, "message");
                return enqueue(self, message).named("enqueue", "MessageBatcher.enqueue");
            },
            nb::arg("message").none())
        .method("_flush_loop",
                [](nb::object self) {
                    return flush_loop(self).named("_flush_loop", "MessageBatcher._flush_loop");
                })
        .method(
            "_flush_now",
            [](nb::object self) { return flush_now(self).named("_flush_now", "MessageBatcher._flush_now"); })
        .finish();
}

}  // namespace tarvex::kernel
