#include "kernel/transport/outbox.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/json_string.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/gc_slots.hpp"
#include "kernel/support/interrupts.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/connection.hpp"
#include "kernel/transport/json_dumps.hpp"

namespace tarvex::kernel {

namespace {

PyObject *start_drain_function = nullptr;  // _start_drain(kernel), made once
PyObject *outbox_type = nullptr;

// The lane of output written outside requests (no request lane starts with "p").
const char *const outside_requests_lane = "p";

// However long a request id, a message holds at least this much output.
constexpr Py_ssize_t min_content_chars = 1024;

nb::object connection_closed() {
    return owned(
        PyObject_CallFunction(PyExc_ConnectionError, "s", "Connection to the Business Layer closed"));
}

PyObject *stream_name(OutputStream stream) {
    return stream == OutputStream::out ? names::stdout_ : names::stderr_;
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

std::string orjson_text(nb::handle value) {
    nb::bytes text = orjson_bytes(value);
    return std::string(PyBytes_AS_STRING(text.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(text.ptr())));
}

Py_ssize_t utf8_chars(const std::string &text) {
    Py_ssize_t chars = 0;
    for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
    return chars;
}

// The message an output entry makes, encoded as the drain writes it.
EncodedMessage output_message(Outbox::Entry &entry) {
    const OutputEnvelope &envelope = *entry.envelope;
    if (entry.as_json) {
        EncodedMessage message = entry.message;  // kept on the entry for its log lines
        nb::list parts;
        parts.append(envelope.message_text(entry.stream, entry.escaped));
        message.text = std::move(parts);
        entry.escaped = std::string();
        return message;
    }
    nb::object content = nb::str("").attr("join")(entry.pieces);
    entry.pieces = nb::list();
    return encode_message(envelope.message(entry.stream, content));
}

}  // namespace

// --- SentSignal ---

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
    InterruptibleWait interruptible([this] {
        std::lock_guard<std::mutex> held(mutex_);
        written_.notify_all();
    });
    {
        nb::gil_scoped_release released;
        std::unique_lock<std::mutex> held(mutex_);
        done = written_.wait_for(held, std::chrono::duration<double>(timeout_s),
                                 [&] { return done_ || interruptible.woken(); });
        done = done_;
    }
    interruptible.raise_if_interrupted();
    if (!done) {
        std::string text =
            concat("Sending ", what, " did not complete within ", ms1(timeout_s * 1000.0), " ms");
        PyErr_SetString(PyExc_TimeoutError, text.c_str());
        throw nb::python_error();
    }
    if (error_.is_valid())
        raise(error_);
}

// --- lanes and envelopes ---

std::string lane_of(nb::handle request_id) {
    if (!request_id.is_valid() || request_id.is_none())
        return {};
    PyObject *text = PyUnicode_CheckExact(request_id.ptr()) ? Py_NewRef(request_id.ptr())
                                                            : PyObject_Repr(request_id.ptr());
    Py_ssize_t size = 0;
    const char *data = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    std::string lane(1, PyUnicode_CheckExact(request_id.ptr()) ? 's' : 'r');
    if (data)
        lane.append(data, static_cast<size_t>(size));
    else
        PyErr_Clear();  // an id with no UTF-8 form shares the lane of such ids
    Py_XDECREF(text);
    return lane;
}

std::shared_ptr<const OutputEnvelope> OutputEnvelope::for_request(nb::handle request_id,
                                                                  nb::handle workbook_id, nb::handle source) {
    std::shared_ptr<OutputEnvelope> envelope(new OutputEnvelope());
    envelope->lane_ = lane_of(request_id);
    envelope->request_id_ = nb::borrow(request_id);
    envelope->workbook_id_ = nb::borrow(workbook_id);
    envelope->source_ = nb::borrow(source);
    envelope->finish();
    return envelope;
}

std::shared_ptr<const OutputEnvelope> OutputEnvelope::outside_requests(nb::handle workbook_id) {
    std::shared_ptr<OutputEnvelope> envelope(new OutputEnvelope());
    envelope->lane_ = outside_requests_lane;
    envelope->workbook_id_ = nb::borrow(workbook_id);
    envelope->finish();
    return envelope;
}

void OutputEnvelope::finish() {
    if (have_orjson()) {
        try {
            std::string tail = "\"";
            if (source_.is_valid())
                tail += ",\"request_id\":" + orjson_text(request_id_);
            tail += ",\"workbook_id\":" + orjson_text(workbook_id_);
            if (source_.is_valid())
                tail += ",\"source\":" + orjson_text(source_);
            tail_ = tail + "}";
            head_[0] = R"({"type":"stdout","content":")";
            head_[1] = R"({"type":"stderr","content":")";
        } catch (...) {
            catch_exception();  // written through json_dumps instead
            tail_.clear();
        }
    }
    Py_ssize_t frame_chars = module_size_constant(names::CHUNK_SIZE);
    Py_ssize_t around = tail_.empty() ? 128 : utf8_chars(head_[0]) + utf8_chars(tail_);
    content_chars_ = std::max(frame_chars - around, min_content_chars);
}

nb::bytes OutputEnvelope::message_text(OutputStream stream, const std::string &escaped) const {
    const std::string &head = head_[static_cast<int>(stream)];
    size_t size = head.size() + escaped.size() + tail_.size();
    PyObject *bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (!bytes)
        throw nb::python_error();
    char *at = PyBytes_AS_STRING(bytes);
    std::memcpy(at, head.data(), head.size());
    std::memcpy(at + head.size(), escaped.data(), escaped.size());
    std::memcpy(at + head.size() + escaped.size(), tail_.data(), tail_.size());
    return nb::steal<nb::bytes>(bytes);
}

nb::dict OutputEnvelope::message(OutputStream stream, nb::handle content) const {
    if (!source_.is_valid())
        return make_message({{names::type, stream_name(stream)},
                             {names::content, content},
                             {names::workbook_id, workbook_id_}});
    return make_message({{names::type, stream_name(stream)},
                         {names::content, content},
                         {names::request_id, request_id_},
                         {names::workbook_id, workbook_id_},
                         {names::source, source_}});
}

nb::object OutputEnvelope::request_id() const {
    return source_.is_valid() ? request_id_ : nb::object(nb::str("N/A"));
}

// --- posting ---

bool Outbox::enqueue(const std::string &lane, Entry entry) {
    auto [it, added] = lanes_.try_emplace(lane);
    if (added)
        turns_.push_back(lane);
    it->second.entries.push_back(std::move(entry));
    bool wake = !draining_;
    draining_ = true;
    return wake;
}

void Outbox::wake(nb::handle kernel) {
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

void Outbox::post(nb::handle kernel, EncodedMessage message, OnWritten on_written) {
    InterruptsHeldOff held_off;  // the wake of the loop runs Python code
    bool queued = false, wake_loop = false;
    {
        std::lock_guard<std::mutex> held(mutex_);
        if (!closed_) {
            std::string lane = message.lane;
            Entry entry;
            entry.message = std::move(message);
            entry.on_written = std::move(on_written);
            wake_loop = enqueue(lane, std::move(entry));
            queued = true;
        }
    }
    if (!queued) {
        Entry refused;
        refused.message = std::move(message);
        refused.on_written = std::move(on_written);
        tell(refused, connection_closed().ptr());
        return;
    }
    if (wake_loop)
        wake(kernel);
}

Py_ssize_t Outbox::append_output(const std::shared_ptr<const OutputEnvelope> &envelope, OutputStream stream,
                                 PyObject *text, Py_ssize_t from, bool as_json, bool bounded,
                                 bool &wake_loop) {
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    bool on_loop = PyThread_get_thread_ident() == loop_thread_;
    const Py_ssize_t capacity = envelope->content_chars();
    while (from < size) {
        // The loop never waits for room: only it makes room.
        if (bounded && waiting_output_bytes_ >= max_waiting_output_bytes && !on_loop)
            break;
        auto it = lanes_.find(envelope->lane());
        Entry *last = it == lanes_.end() ? nullptr : &it->second.entries.back();
        if (!last || last->envelope != envelope || last->stream != stream || last->as_json != as_json ||
            last->chars >= capacity) {
            Entry entry;
            entry.message.message_type = nb::borrow(stream_name(stream));
            entry.message.request_id = envelope->request_id();
            entry.message.lane = envelope->lane();
            entry.envelope = envelope;
            entry.stream = stream;
            entry.as_json = as_json;
            wake_loop |= enqueue(envelope->lane(), std::move(entry));
            last = &lanes_.find(envelope->lane())->second.entries.back();
        }
        Py_ssize_t budget = capacity - last->chars;
        size_t bytes;
        if (as_json) {
            size_t before = last->escaped.size();
            Py_ssize_t left = budget;
            Py_ssize_t reached = append_json_chars(text, from, left, last->escaped);
            // An escape that does not fit what is left starts the next message.
            last->chars = reached == from ? capacity : last->chars + (budget - left);
            from = reached;
            bytes = last->escaped.size() - before;
        } else {
            Py_ssize_t end = std::min(size, from + budget);
            nb::object piece =
                nb::steal(from == 0 && end == size ? Py_NewRef(text) : PyUnicode_Substring(text, from, end));
            if (!piece.is_valid() || PyList_Append(last->pieces.ptr(), piece.ptr()) < 0)
                throw nb::python_error();
            last->chars += end - from;
            bytes = static_cast<size_t>(end - from);
            from = end;
        }
        last->output_bytes += bytes;
        waiting_output_bytes_ += bytes;
    }
    return from;
}

bool Outbox::wait_for_room() {
    InterruptibleWait interruptible([this] {
        std::lock_guard<std::mutex> held(mutex_);
        room_.notify_all();
    });
    {
        nb::gil_scoped_release released;
        std::unique_lock<std::mutex> held(mutex_);
        room_.wait(held, [&] {
            return closed_ || waiting_output_bytes_ < max_waiting_output_bytes || interruptible.woken();
        });
    }
    return !interruptible.interrupted();
}

void Outbox::post_output(nb::handle kernel, const std::shared_ptr<const OutputEnvelope> &envelope,
                         OutputStream stream, nb::handle text) {
    InterruptsHeldOff held_off;  // the wake of the loop runs Python code
    PyObject *str = text.ptr();
    Py_ssize_t size = PyUnicode_GET_LENGTH(str), from = 0;
    bool as_json = envelope->json_ready() && messages_as_bytes();
    bool bounded = true;
    while (true) {
        bool wake_loop = false;
        {
            std::lock_guard<std::mutex> held(mutex_);
            if (closed_)
                return;  // the connection is gone: nobody can read it
            from = append_output(envelope, stream, str, from, as_json, bounded, wake_loop);
        }
        if (wake_loop)
            wake(kernel);
        if (from >= size)
            return;
        // An interrupted writer no longer waits: the rest of its text goes
        // in at once, and the interrupt is raised once it returns.
        bounded = wait_for_room();
    }
}

bool Outbox::busy(const std::string &lane) {
    std::lock_guard<std::mutex> held(mutex_);
    return lanes_.count(lane) > 0 || (writing_ && writing_lane_ == lane);
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

// --- draining ---

bool Outbox::take(Entry &entry) {
    std::lock_guard<std::mutex> held(mutex_);
    writing_ = false;
    if (turns_.empty()) {
        draining_ = false;
        return false;
    }
    std::string lane = std::move(turns_.front());
    turns_.pop_front();
    auto it = lanes_.find(lane);
    entry = std::move(it->second.entries.front());
    it->second.entries.pop_front();
    if (it->second.entries.empty())
        lanes_.erase(it);
    else
        turns_.push_back(lane);
    writing_lane_ = std::move(lane);
    writing_ = true;
    return true;
}

void Outbox::written(const Entry &entry) {
    if (!entry.output_bytes)
        return;
    std::lock_guard<std::mutex> held(mutex_);
    waiting_output_bytes_ -= entry.output_bytes;
    room_.notify_all();
}

void Outbox::close() {
    std::deque<Entry> left;
    {
        std::lock_guard<std::mutex> held(mutex_);
        closed_ = true;
        for (auto &[lane, queued] : lanes_)
            for (Entry &entry : queued.entries) {
                waiting_output_bytes_ -= entry.output_bytes;
                left.push_back(std::move(entry));
            }
        lanes_.clear();
        turns_.clear();
        room_.notify_all();
    }
    tell_all(left, connection_closed().ptr());
}

int Outbox::traverse(visitproc visit, void *arg) {
    Py_VISIT(loop_.ptr());
    Py_VISIT(drain_task_.ptr());
    return 0;
}

void Outbox::clear() {
    // None rather than nothing: a late hand-off then fails with a Python
    // error instead of touching a reference already gone.
    release_fields(loop_, drain_task_);
}

// A drain whose writes never block would keep the loop from reading (a
// sys_response a worker waits for, say) for as long as output flows: it
// lets the loop run after this many messages or bytes of output.
constexpr int messages_per_turn = 32;
constexpr size_t output_bytes_per_turn = 64 * 1024;

// Writes message after message until nothing is queued. A sender is told
// how its write ended; a drain cut short (the loop shutting down) tells the
// sender whose write it interrupted and every one still queued.
Coro drain(nb::object kernel, nb::object outbox_object) {
    Outbox &box = nb::cast<Outbox &>(outbox_object);
    Outbox::Entry entry;
    bool taken = false;
    int messages = 0;
    size_t output_bytes = 0;
    try {
        while ((taken = box.take(entry))) {
            if (++messages > messages_per_turn || output_bytes >= output_bytes_per_turn) {
                co_await nb::handle(refs.asyncio_sleep)(0);
                messages = 1;
                output_bytes = 0;
            }
            output_bytes += entry.output_bytes;
            nb::object failure;
            try {
                EncodedMessage message = entry.envelope ? output_message(entry) : entry.message;
                co_await write_encoded(kernel, std::move(message));
            } catch (...) {
                failure = catch_exception();
            }
            box.written(entry);
            tell(entry, failure.ptr());
            entry = Outbox::Entry();
        }
    } catch (...) {
        nb::object cut = catch_any();
        if (taken) {
            box.written(entry);
            tell(entry, cut.ptr());
        }
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
    Connection &connection = connection_of(kernel);
    Outbox *box = connection.outbox();
    if (!box)
        return;
    nb::object coroutine =
        drain(nb::borrow(kernel), connection.outbox_object).named("_drain", "Outbox._drain").object();
    nb::object task = box->loop_.attr(names::create_task)(coroutine, nb::arg("eager_start") = true);
    if (!truthy(task.attr(names::done)()))
        box->drain_task_ = task;
}

void open_outbox(nb::handle kernel, nb::handle loop) {
    nb::object outbox_object = nb::handle(outbox_type)();
    Outbox &box = nb::cast<Outbox &>(outbox_object);
    box.loop_ = nb::borrow(loop);
    box.loop_thread_ = PyThread_get_thread_ident();
    connection_of(kernel).outbox_object = outbox_object;
}

Outbox *outbox_of(nb::handle kernel) { return connection_of(kernel).outbox(); }

void post_encoded(nb::handle kernel, EncodedMessage message, OnWritten on_written) {
    Outbox *box = outbox_of(kernel);
    if (!box) {
        log().warning("[Kernel] Cannot send message type '", message.message_type,
                      "': WebSocket not connected");
        return;
    }
    box->post(kernel, std::move(message), std::move(on_written));
}

void post_message(nb::handle kernel, nb::handle message, OnWritten on_written) {
    post_encoded(kernel, encode_message(message), std::move(on_written));
}

void post_output(nb::handle kernel, const std::shared_ptr<const OutputEnvelope> &envelope,
                 OutputStream stream, nb::handle text) {
    Outbox *box = outbox_of(kernel);
    if (!box) {
        log().warning("[Kernel] Cannot send message type '", nb::handle(stream_name(stream)),
                      "': WebSocket not connected");
        return;
    }
    box->post_output(kernel, envelope, stream, text);
}

void send_and_wait(nb::handle kernel, nb::handle message, double timeout_s, const char *what) {
    auto signal = std::make_shared<SentSignal>();
    post_message(kernel, message, SentSignal::notifier(signal));
    signal->wait(timeout_s, what);
}

void define_outbox(nb::module_ &m) {
    outbox_type = nb::class_<Outbox>(m, "_Outbox", nb::type_slots(GcSlots<Outbox>::slots),
                                     "The kernel's one writer of messages handed over by worker threads.")
                      .def(nb::init<>())
                      .ptr();
    start_drain_function = nb::cpp_function(&start_drain, nb::name("_start_drain")).release().ptr();
}

}  // namespace tarvex::kernel
