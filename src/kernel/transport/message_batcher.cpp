// MessageBatcher: messages handed to enqueue() leave within about
// FLUSH_INTERVAL, in queue order, several at once as one "batch" message.
// The kernel's own messages do not go through it.
#include <new>
#include <utility>

#include "common/args.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/gc_slots.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace {

struct MessageBatcher {
    nb::object kernel;                   // whose _send_message_direct sends each flush
    nb::object queue;                    // asyncio.Queue of the messages waiting
    nb::object flush_task = nb::none();  // the task running _flush_loop, kept once stopped
    bool running = false;                // _flush_loop goes on while set

    int traverse(visitproc visit, void *arg) { return visit_fields(visit, arg, kernel, queue, flush_task); }
    void clear() { release_fields(kernel, queue, flush_task); }
};

// How the methods take the instance: nanobind checks that it is a
// constructed MessageBatcher, and the coroutines keep the Python object.
using Self = nb::pointer_and_handle<MessageBatcher>;

MessageBatcher &batcher_of(nb::handle self) { return *nb::inst_ptr<MessageBatcher>(self); }

// Read from the class at every flush, so that a change made there counts.
nb::object flush_interval(nb::handle self) { return self.type().attr(names::FLUSH_INTERVAL); }

// Sends `first` (when valid) and everything queued, as one message or one
// "batch" message.
Coro flush(nb::object self, nb::object first) {
    MessageBatcher &batcher = batcher_of(self);
    nb::object queue = batcher.queue;
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
    // By attribute: the kernel's sender may have been replaced.
    nb::object send_direct = batcher.kernel.attr("_send_message_direct");
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
    MessageBatcher &batcher = batcher_of(self);
    while (batcher.running) {
        nb::object first = co_await batcher.queue.attr("get")();
        nb::object cancelled;
        try {
            co_await nb::handle(refs.asyncio_sleep)(flush_interval(self));
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

Coro named_flush_loop(nb::object self) {
    return flush_loop(std::move(self)).named("_flush_loop", "MessageBatcher._flush_loop");
}

Coro start(nb::object self) {
    MessageBatcher &batcher = batcher_of(self);
    batcher.running = true;
    batcher.flush_task = nb::handle(refs.create_task)(named_flush_loop(self).object());
    co_return nb::none();
}

Coro stop(nb::object self) {
    MessageBatcher &batcher = batcher_of(self);
    batcher.running = false;
    nb::object task = batcher.flush_task;
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
    co_await batcher_of(self).queue.attr("put")(message);
    co_return nb::none();
}

void init(MessageBatcher *self, nb::object kernel) {
    nb::object queue = nb::handle(refs.asyncio_Queue)();
    new (self) MessageBatcher{std::move(kernel), std::move(queue)};
}

}  // namespace

void define_message_batcher(nb::module_ &m) {
    nb::class_<MessageBatcher> cls(m, "MessageBatcher", nb::type_slots(GcSlots<MessageBatcher>::slots),
                                   "Coalesces queued messages into one send every FLUSH_INTERVAL seconds.");
    cls.attr("FLUSH_INTERVAL") = 0.01;
    cls.def("__init__", &init, nb::arg("kernel").none());
    cls.def_ro("_kernel", &MessageBatcher::kernel);
    cls.def_ro("_queue", &MessageBatcher::queue);
    cls.def_ro("_flush_task", &MessageBatcher::flush_task);
    cls.def_ro("_running", &MessageBatcher::running);
    cls.def("start",
            [](Self self) { return start(nb::borrow(self.h)).named("start", "MessageBatcher.start"); });
    cls.def("stop", [](Self self) { return stop(nb::borrow(self.h)).named("stop", "MessageBatcher.stop"); });
    cls.def(
        "enqueue",
        [](Self self, nb::object message) {
            require_dict(message, "message");
            return enqueue(nb::borrow(self.h), message).named("enqueue", "MessageBatcher.enqueue");
        },
        nb::arg("message").none());
    cls.def("_flush_loop", [](Self self) { return named_flush_loop(nb::borrow(self.h)); });
    cls.def("_flush_now", [](Self self) {
        return flush_now(nb::borrow(self.h)).named("_flush_now", "MessageBatcher._flush_now");
    });
}

}  // namespace tarvex::kernel
