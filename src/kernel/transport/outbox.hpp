// The kernel's one writer. Worker threads hand their messages (output,
// replies, streamed values, sys_requests, releases) to the outbox already
// encoded; only the hand-off that finds the outbox idle wakes the event
// loop, which then writes everything queued in one drain. A sender that
// must know its message left (a streamed value, a debug_exception) waits
// for its own SentSignal, the GIL released; everyone else goes on at once.
//
// Messages wait in the lane of their request (its request_id): a lane's
// messages leave in the order they were handed over, so a reply never
// overtakes the output its worker wrote before it. Lanes take turns, one
// message each, so no request waits behind another one's output.
//
// Output is text appended to the last message of its lane while that one
// still waits: consecutive writes of one request to one stream leave as one
// "stdout"/"stderr" message, cut where it would no longer fit one frame. A
// write that finds the kernel idle still leaves at once. The output waiting
// is bounded (max_waiting_output_bytes): a writer faster than the socket
// waits in its write until there is room, as with a pipe; nothing is dropped.
#pragma once

#include <nanobind/nanobind.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "common/coro.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// Output waiting to be written, across all lanes, beyond which writers wait.
inline constexpr size_t max_waiting_output_bytes = size_t{4} << 20;

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

enum class OutputStream : int { out = 0, err = 1 };

// The fixed parts of one lane's output messages: {"type", "content",
// "request_id", "workbook_id", "source"} for a request's output,
// {"type", "content", "workbook_id"} for output outside requests.
class OutputEnvelope {
public:
    // Made on the loop or a worker, with the GIL.
    static std::shared_ptr<const OutputEnvelope> for_request(nb::handle request_id, nb::handle workbook_id,
                                                             nb::handle source);
    static std::shared_ptr<const OutputEnvelope> outside_requests(nb::handle workbook_id);

    const std::string &lane() const { return lane_; }
    // Whether messages can be written around the content (orjson is there).
    bool json_ready() const { return !tail_.empty(); }
    // Characters of content one message holds (the message then fits a frame).
    Py_ssize_t content_chars() const { return content_chars_; }

    // The UTF-8 JSON text of the message whose content is `escaped` (JSON
    // string content), as orjson writes the dict.
    nb::bytes message_text(OutputStream stream, const std::string &escaped) const;
    // The message as a dict, for a replaced json_dumps.
    nb::dict message(OutputStream stream, nb::handle content) const;
    nb::object request_id() const;  // for log lines

private:
    OutputEnvelope() = default;
    void finish();

    std::string lane_;
    nb::object request_id_, workbook_id_, source_;  // source_ invalid outside requests
    std::string head_[2], tail_;                    // around the content, when orjson is there
    Py_ssize_t content_chars_ = 0;
};

// The lane of a message whose request_id is `request_id` (null or None:
// messages of no request).
std::string lane_of(nb::handle request_id);

class Outbox {
public:
    // Any thread, GIL held. Queues `message` (see encode_message) in its
    // lane and wakes the loop when nothing was draining. After close(),
    // `on_written` is told of the closed connection at once.
    void post(nb::handle kernel, EncodedMessage message, OnWritten on_written = {});

    // Any thread, GIL held: appends `text` (a str) to the lane's output.
    // Off the loop's thread, waits (GIL released) while the output waiting
    // is at its bound. After close() the text is dropped.
    void post_output(nb::handle kernel, const std::shared_ptr<const OutputEnvelope> &envelope,
                     OutputStream stream, nb::handle text);

    // Loop thread: true when something of `lane` is queued or being
    // written, so that a send made now must wait its turn.
    bool busy(const std::string &lane);

    // Loop thread: queues `message` behind what is already queued in its
    // lane and completes once it is written, raising what its write raised.
    Coro send_in_turn(nb::object kernel, EncodedMessage message);

    // Loop thread, once the connection is gone: nothing more is written;
    // what is queued and what comes later fails with ConnectionError.
    void close();

    // The running drain, for the collector.
    int traverse(visitproc visit, void *arg);
    void clear();

    // One queued message: encoded whole, or output text still growing.
    struct Entry {
        EncodedMessage message;
        OnWritten on_written;
        std::shared_ptr<const OutputEnvelope> envelope;  // set for output
        OutputStream stream = OutputStream::out;
        bool as_json = true;     // content kept as JSON text (orjson's form), else as str pieces
        std::string escaped;     // JSON string content, when as_json
        nb::list pieces;         // the written strs, when not
        Py_ssize_t chars = 0;    // characters of content
        size_t output_bytes = 0; // counted against max_waiting_output_bytes
    };

private:
    friend Coro drain(nb::object kernel, nb::object outbox);
    friend void start_drain(nb::handle kernel);
    friend void open_outbox(nb::handle kernel, nb::handle loop);

    struct Lane {
        std::deque<Entry> entries;
    };

    // Under mutex_: queues `entry` at the end of its lane; true when the
    // loop must be woken.
    bool enqueue(const std::string &lane, Entry entry);
    // Wakes the loop to drain (GIL held, mutex_ not held).
    void wake(nb::handle kernel);
    // Appends text[from:] to the lane's last output entry, or to new ones,
    // while the output bound allows; returns where it stopped. Under mutex_.
    Py_ssize_t append_output(const std::shared_ptr<const OutputEnvelope> &envelope, OutputStream stream,
                             PyObject *text, Py_ssize_t from, bool as_json, bool bounded, bool &wake);
    // Waits, the GIL released, until output may be added (or the outbox
    // closed); false when an interrupt of the writer's request ended the wait.
    bool wait_for_room();

    // The next message to write, lanes taking turns; false (and the outbox
    // idle) when nothing is queued.
    bool take(Entry &entry);
    // After an entry's write, with the GIL.
    void written(const Entry &entry);

    std::mutex mutex_;  // guards everything below but loop_ and drain_task_; never held across Python calls
    std::unordered_map<std::string, Lane> lanes_;  // lanes with messages queued
    std::deque<std::string> turns_;                // those lanes, in the order of their turns
    std::string writing_lane_;                     // the lane of the message being written
    bool writing_ = false;
    bool draining_ = false;
    bool closed_ = false;
    size_t waiting_output_bytes_ = 0;
    std::condition_variable room_;
    nb::object loop_;
    unsigned long loop_thread_ = 0;
    nb::object drain_task_;  // the drain running, if any
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

// Any thread: `text` written to `stream` of the envelope's lane (a warning
// and nothing else before connect).
void post_output(nb::handle kernel, const std::shared_ptr<const OutputEnvelope> &envelope, OutputStream stream,
                 nb::handle text);

// From a worker: posts `message` and waits until it is written; a write
// that fails raises here, one still pending after `timeout_s` raises
// TimeoutError naming `what`.
void send_and_wait(nb::handle kernel, nb::handle message, double timeout_s, const char *what);

void define_outbox(nb::module_ &m);

}  // namespace tarvex::kernel
