// The kernel's one writer. Worker threads hand their messages (output,
// streamed values, sys_requests, releases) to the outbox already encoded;
// only the hand-off that finds the outbox idle wakes the event loop, which
// then writes everything queued, in order, in one drain. A sender that must
// know its message left (a streamed value, a debug_exception) waits for its
// own SentSignal, the GIL released; everyone else goes on at once.
//
// The loop's own sends keep their place: while the outbox is draining they
// queue behind it (send_in_turn), so a reply never overtakes the output
// its worker handed over before finishing.
#pragma once

#include <nanobind/nanobind.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "common/coro.hpp"
#include "kernel/runtime/python_kernel.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// Told on the loop, with the GIL, how a queued message's write ended: null
// when it was written, the exception otherwise.
using OnWritten = std::function<void(PyObject *error)>;

// What a worker waits on for the write of its message.
class SentSignal {
public:
    // For the entry's OnWritten.
    static OnWritten notifier(std::shared_ptr<SentSignal> signal);

    // Waits with the GIL released; raises what the write raised, or
    // TimeoutError ("Sending <what> did not complete within <t> ms").
    void wait(double timeout_s, const char *what);

private:
    std::mutex mutex_;
    std::condition_variable written_;
    bool done_ = false;
    nb::object error_;
};

class Outbox {
public:
    // Any thread, GIL held. Queues `message` (see encode_message) and wakes
    // the loop when nothing was draining. After close(), `on_written` is told
    // of the closed connection at once.
    void post(nb::handle kernel, EncodedMessage message, OnWritten on_written = {});

    // Loop thread: true when nothing is queued or being written, so a send
    // made now cannot overtake a message handed over before it.
    bool idle();

    // Loop thread: queues `message` behind what is already queued and
    // completes once it is written, raising what its write raised.
    Coro send_in_turn(nb::object kernel, EncodedMessage message);

    // Loop thread, once the connection is gone: nothing more is written;
    // what is queued and what comes later fails with ConnectionError.
    void close();

    // The running drain, for the collector.
    int traverse(visitproc visit, void *arg);
    void clear();

    struct Entry {
        EncodedMessage message;
        OnWritten on_written;
    };

private:
    friend Coro drain(nb::object kernel, nb::object outbox);
    friend void start_drain(nb::handle kernel);

    // Takes everything queued, or marks the outbox idle when nothing is.
    std::deque<Entry> take_or_idle();

    std::mutex mutex_;  // guards queue_, draining_ and closed_; never held across Python calls
    std::deque<Entry> queue_;
    bool draining_ = false;
    bool closed_ = false;
    nb::object loop_;
    unsigned long loop_thread_ = 0;
    nb::object drain_task_;  // the drain running, if any

    friend void open_outbox(nb::handle kernel, nb::handle loop);
};

// On the loop, at connect: the kernel's outbox (kernel._outbox).
void open_outbox(nb::handle kernel, nb::handle loop);

// The kernel's outbox, or nullptr before connect.
Outbox *outbox_of(nb::handle kernel);

// Any thread: hands an encoded message to the kernel's writer (a warning
// and nothing else before connect).
void post_encoded(nb::handle kernel, EncodedMessage message, OnWritten on_written = {});

// Any thread: `message` encoded on this thread and handed to the kernel's
// writer. `on_written` (optional) hears how its write ended.
void post_message(nb::handle kernel, nb::handle message, OnWritten on_written = {});

// From a worker: posts `message` and waits until it is written; a write
// that fails raises here, one still pending after `timeout_s` raises
// TimeoutError naming `what`.
void send_and_wait(nb::handle kernel, nb::handle message, double timeout_s, const char *what);

void define_outbox(nb::module_ &m);

}  // namespace tarvex::kernel
