#include "kernel/transport/outbox.hpp"

#include <chrono>
#include <string>
#include <utility>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

PyObject *start_drain_function = nullptr;  // _start_drain(kernel), made once
PyObject *outbox_type = nullptr;

nb::object connection_closed() {
    return owned(PyObject_CallFunction(PyExc_ConnectionError, "s", "Connection to the Business Layer closed"));
}

void tell(Outbox::Entry &entry, PyObject *error) {
    if (!entry.on_written) {
        if (error)
            log().debug("[Kernel] Could not send message type '", entry.message.message_type,
                        "': ", nb::handle(error));
        return;
    }
    try {
        entry.on_written(error);
    } catch (...) {
        nb::object e = catch_exception();
        log().debug("[Kernel] A sender could not be told of its write: ", nb::str(e));
    }
}

void tell_all(std::deque<Outbox::Entry> &entries, PyObject *error) {
    for (Outbox::Entry &entry : entries) tell(entry, error);
    entries.clear();
}

}  // namespace

OnWritten SentSignal::notifier(std::shared_ptr<SentSignal> signal) {
    return [signal = std::move(signal)](PyObject *error) {
        std::lock_guard<std::mutex> held(signal->mutex_);
        signal->done_ = true;
        if (error)
            signal->error_ = nb::borrow(error);
        signal->written_.notify_one();
    };
}

void SentSignal::wait(double timeout_s, const char *what) {
    bool done;
    {
        nb::gil_scoped_release released;
        std::unique_lock<std::mutex> held(mutex_);
        done = written_.wait_for(held, std::chrono::duration<double>(timeout_s), [this] { return done_; });
    }
    if (!done) {
        std::string text =
            concat("Sending ", what, " did not complete within ", ms1(timeout_s * 1000.0), " ms");
        PyErr_SetString(PyExc_TimeoutError, text.c_str());
        throw nb::python_error();
    }
    if (error_.is_valid())
        raise(error_);
}

void Outbox::post(nb::handle kernel, EncodedMessage message, OnWritten on_written) {
    bool queued = false, wake = false;
    {
        std::lock_guard<std::mutex> held(mutex_);
        if (!closed_) {
            queue_.push_back(Entry{std::move(message), std::move(on_written)});
            queued = true;
            wake = !draining_;
            draining_ = true;
        }
    }
    if (!queued) {
        Entry refused{std::move(message), std::move(on_written)};
        tell(refused, connection_closed().ptr());
        return;
    }
    if (!wake)
        return;
    // On the loop's own thread no self-pipe write is needed to wake it.
    bool on_loop = PyThread_get_thread_ident() == loop_thread_;
    nb::object schedule = loop_.attr(on_loop ? names::call_soon : names::call_soon_threadsafe);
    try {
        schedule(nb::handle(start_drain_function), kernel);
    } catch (...) {
        // The loop is gone: nothing queued will be written.
        close();
        throw;
    }
}

bool Outbox::idle() {
    std::lock_guard<std::mutex> held(mutex_);
    return !draining_;
}

std::deque<Outbox::Entry> Outbox::take_or_idle() {
    std::deque<Entry> taken;
    std::lock_guard<std::mutex> held(mutex_);
    taken.swap(queue_);
    if (taken.empty())
        draining_ = false;
    return taken;
}

Coro Outbox::send_in_turn(nb::object kernel, EncodedMessage message) {
    nb::object future = loop_.attr(names::create_future)();
    post(kernel, std::move(message), [future](PyObject *error) {
        if (truthy(future.attr(names::done)()))
            return;  // its sender was cancelled
        if (error)
            future.attr(names::set_exception)(nb::handle(error));
        else
            future.attr(names::set_result)(nb::none());
    });
    co_await future;
    co_return nb::none();
}

void Outbox::close() {
    std::deque<Entry> left;
    {
        std::lock_guard<std::mutex> held(mutex_);
        closed_ = true;
        left.swap(queue_);
    }
    tell_all(left, connection_closed().ptr());
}

int Outbox::traverse(visitproc visit, void *arg) {
    Py_VISIT(loop_.ptr());
    Py_VISIT(drain_task_.ptr());
    return 0;
}

void Outbox::clear() {
    loop_.reset();
    drain_task_.reset();
}

// Writes batch after batch until nothing is queued. A sender is told how
// its write ended; a drain cut short (the loop shutting down) tells every
// sender still waiting.
Coro drain(nb::object kernel, nb::object outbox_object) {
    Outbox &box = nb::cast<Outbox &>(outbox_object);
    std::deque<Outbox::Entry> batch;
    try {
        while (!(batch = box.take_or_idle()).empty()) {
            // An entry leaves the batch only once its sender was told, so a
            // cut in the middle of a write tells that sender too.
            while (!batch.empty()) {
                nb::object failure;
                try {
                    co_await write_encoded(kernel, batch.front().message);  // a copy: tell() names it
                } catch (...) {
                    failure = catch_exception();
                }
                tell(batch.front(), failure.ptr());
                batch.pop_front();
            }
        }
    } catch (...) {
        nb::object cut = catch_any();
        tell_all(batch, cut.ptr());
        box.close();
        box.drain_task_.reset();
        raise(cut);
    }
    box.drain_task_.reset();
    co_return nb::none();
}

// Runs on the loop when a hand-off found the outbox idle. The drain starts
// eagerly: a write that does not block is done before this returns.
void start_drain(nb::handle kernel) {
    Outbox *box = outbox_of(kernel);
    if (!box)
        return;
    nb::object outbox_object = kernel.attr(names::_outbox);
    nb::object coroutine = drain(nb::borrow(kernel), outbox_object).named("_drain", "Outbox._drain").object();
    nb::object task = box->loop_.attr(names::create_task)(coroutine, nb::arg("eager_start") = true);
    if (!truthy(task.attr(names::done)()))
        box->drain_task_ = task;
}

void open_outbox(nb::handle kernel, nb::handle loop) {
    nb::object outbox_object = nb::handle(outbox_type)();
    Outbox &box = nb::cast<Outbox &>(outbox_object);
    box.loop_ = nb::borrow(loop);
    box.loop_thread_ = PyThread_get_thread_ident();
    kernel.attr(names::_outbox) = outbox_object;
}

Outbox *outbox_of(nb::handle kernel) {
    nb::object outbox_object = nb::getattr(kernel, names::_outbox, nb::none());
    if (outbox_object.is_none())
        return nullptr;
    return &nb::cast<Outbox &>(outbox_object);
}

void post_encoded(nb::handle kernel, EncodedMessage message, OnWritten on_written) {
    Outbox *box = outbox_of(kernel);
    if (!box) {
        log().warning("[Kernel] Cannot send message type '", message.message_type, "': WebSocket not connected");
        return;
    }
    box->post(kernel, std::move(message), std::move(on_written));
}

void post_message(nb::handle kernel, nb::handle message, OnWritten on_written) {
    post_encoded(kernel, encode_message(message), std::move(on_written));
}

void send_and_wait(nb::handle kernel, nb::handle message, double timeout_s, const char *what) {
    auto signal = std::make_shared<SentSignal>();
    post_message(kernel, message, SentSignal::notifier(signal));
    signal->wait(timeout_s, what);
}

namespace {

int outbox_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    return nb::inst_ptr<Outbox>(self)->traverse(visit, arg);
}

int outbox_clear(PyObject *self) {
    nb::inst_ptr<Outbox>(self)->clear();
    return 0;
}

PyType_Slot outbox_slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(outbox_traverse)},
                              {Py_tp_clear, reinterpret_cast<void *>(outbox_clear)},
                              {0, nullptr}};

}  // namespace

void define_outbox(nb::module_ &m) {
    outbox_type = nb::class_<Outbox>(m, "_Outbox", nb::type_slots(outbox_slots),
                                     "The kernel's one writer of messages handed over by worker threads.")
                      .def(nb::init<>())
                      .ptr();
    start_drain_function = nb::cpp_function(&start_drain, nb::name("_start_drain")).release().ptr();
}

}  // namespace tarvex::kernel
