// execute_streaming_function: a generator function of a workbook module
// whose every yielded value updates a cell at once. The worker sends each
// value itself and waits for that send before resuming the generator, so
// values reach the socket in yield order and the generator never runs ahead
// of the connection. A cancel_streaming_function (the dispatcher adds its id
// to _canceled_streaming_requests) is noticed between yields. When the
// module's source has not arrived yet, the Business Layer is asked for it
// and the request waits a bounded time for the update_module.
//
// A stream may live for hours, so it runs on a thread of its own from the
// kernel's stream executor rather than on the pool, and keeps none of its
// output. At most MAX_LIVE_STREAMS run at once; one more is refused.
#include <chrono>
#include <thread>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/user_functions.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/interrupts.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"
#include "kernel/transport/wire_text.hpp"

namespace tarvex::kernel {

namespace {

constexpr double sync_poll_s = 0.1;
constexpr double sync_wait_s = 5.0;
// A loop busy for a moment (a recalculation burst, a long reply) must not
// end a live cell: a value's send may take this long before the stream
// fails. A connection that is gone fails the send at once anyway. Sends
// slower than slow_value_send_s are logged.
constexpr double value_send_timeout_s = 30.0;
constexpr double slow_value_send_s = 1.0;
// After every tenth value the worker pauses briefly, so that a fast
// generator leaves the loop room for other requests.
constexpr int values_per_pause = 10;
constexpr auto pause = std::chrono::milliseconds(1);

// A stream's value sends. The next value is handed over before the worker
// waits for the write of the one before it, so the generator computes while
// the loop writes; a stream is never more than one value ahead of the
// socket, and a failed or stuck send still fails the stream.
class ValueSends {
public:
    ValueSends(nb::handle kernel, nb::handle request_id) : kernel_(kernel), request_id_(request_id) {}

    void send(nb::handle message) {
        auto signal = std::make_shared<SentSignal>();
        post_message(kernel_, message, SentSignal::notifier(signal));
        auto posted = std::chrono::steady_clock::now();
        wait_for_previous();
        previous_ = std::move(signal);
        previous_posted_ = posted;
    }

    // Waits for the last value's write.
    void finish() { wait_for_previous(); }

private:
    void wait_for_previous() {
        if (!previous_)
            return;
        std::shared_ptr<SentSignal> signal = std::move(previous_);
        signal->wait(value_send_timeout_s, "a streamed value");
        if (double waited = elapsed_ms(previous_posted_); waited > slow_value_send_s * 1000.0)
            log().warning("[Kernel] A streamed value waited ", ms1(waited),
                          " ms for its send: request_id=", request_id_);
    }

    nb::handle kernel_, request_id_;
    std::shared_ptr<SentSignal> previous_;
    std::chrono::steady_clock::time_point previous_posted_;
};

struct Stream {
    nb::object request_id, module_name, function_name, args, workbook_id, source;
    InterruptibleRef interruptible;
};

nb::object source_cache() { return module_global(names::in_memory_loader).attr(names::source_cache); }

bool module_is_cached(nb::handle module_name) { return contains(source_cache(), module_name); }

// Membership in the cancel set; an id that cannot be in a set never is.
bool in_set(nb::handle set, nb::handle key) {
    int found = PySet_Contains(set.ptr(), key.ptr());
    if (found < 0) {
        PyErr_Clear();
        return false;
    }
    return found == 1;
}

void discard(nb::handle set, nb::handle key) {
    if (PySet_Discard(set.ptr(), key.ptr()) < 0)
        PyErr_Clear();
}

nb::dict stream_result(nb::handle self, const Stream &stream, std::initializer_list<Field> fields) {
    nb::dict message = make_message(
        {{names::type, nb::str("streaming_function_result")}, {names::request_id, stream.request_id}});
    for (const auto &[key, value] : fields) message[key] = value;
    message[names::workbook_id] = kernel_state(self).workbook_id;
    return message;
}

nb::dict failed(nb::handle self, const Stream &stream, nb::handle error) {
    return stream_result(self, stream, {{names::error, error}, {names::done, Py_True}});
}

// Waits up to about five seconds for the module's source when the loader
// does not hold it yet; the loop keeps serving, so an update_module that
// arrives meanwhile ends the wait, and so does an interrupt of the stream.
// (The float counter gives 51 polls.)
Coro module_synced(nb::object self, nb::object module_name, InterruptibleRef interruptible) {
    if (module_is_cached(module_name))
        co_return nb::bool_(true);
    log().warning("[Kernel] Module '", module_name, "' not in cache, requesting sync");
    co_await send_message(self, make_message({{names::type, nb::str("request_module_sync")},
                                              {names::module_name, module_name},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    double waited = 0.0;
    while (!module_is_cached(module_name) && waited < sync_wait_s && !interruptible->pending()) {
        co_await nb::handle(refs.asyncio_sleep)(sync_poll_s);
        waited += sync_poll_s;
    }
    co_return nb::bool_(module_is_cached(module_name));
}

// The names of `names` (an iterable) that do not start with "_", at most
// `limit` of them when limit >= 0.
nb::list public_names(nb::handle names, Py_ssize_t limit) {
    nb::list shown;
    for (nb::handle name : copy_list(names)) {
        if (limit >= 0 && static_cast<Py_ssize_t>(nb::len(shown)) >= limit)
            break;
        bool hidden = PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > 0 &&
                      PyUnicode_READ_CHAR(name.ptr(), 0) == '_';
        if (!hidden)
            shown.append(name);
    }
    return shown;
}

nb::object formatted(const char *format, nb::handle name) {
    PyObject *text = PyUnicode_FromFormat(format, name.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal(text);
}

// How a stream's worker ended, for the loop to answer.
struct StreamEnd {
    enum class How { completed, canceled, failed } how = How::failed;
    nb::object error;  // failed: the text the cell shows
    long values = 0;   // completed: how many were sent

    static StreamEnd completed(long values) { return {How::completed, nb::object(), values}; }
    static StreamEnd canceled() { return {How::canceled, nb::object(), 0}; }
    static StreamEnd failed(nb::object error) { return {How::failed, std::move(error), 0}; }
};

StreamEnd refused(const char *format, nb::handle name) { return StreamEnd::failed(formatted(format, name)); }

// A live stream's place among the MAX_LIVE_STREAMS. Taken and given back on
// the loop thread only, so the count needs no lock; given back before the
// stream's last message is sent, so that whoever sees a stream end may start
// another at once.
class LiveStreamSlot {
public:
    explicit LiveStreamSlot(nb::handle self) : self_(nb::borrow(self)) {
        ++kernel_state(self_).live_streams;
        held_ = true;
    }
    ~LiveStreamSlot() { release(); }
    LiveStreamSlot(const LiveStreamSlot &) = delete;
    LiveStreamSlot &operator=(const LiveStreamSlot &) = delete;

    void release() {
        if (held_) {
            held_ = false;
            --kernel_state(self_).live_streams;
        }
    }

private:
    nb::object self_;  // keeps the state alive
    bool held_ = false;
};

// A stream beyond the ceiling is refused: each holds a thread until it ends.
bool room_for_stream(nb::handle self, const Stream &stream) {
    Py_ssize_t ceiling = module_size_constant(names::MAX_LIVE_STREAMS);
    if (kernel_state(self).live_streams < ceiling)
        return true;
    log().warning("[Kernel] Too many live streams (at most ", ceiling,
                  "), refusing request_id=", stream.request_id);
    return false;
}

nb::object too_many_streams_text() {
    std::string text =
        concat("Too many live streams (at most ", module_size_constant(names::MAX_LIVE_STREAMS), ")");
    return nb::str(text.c_str(), text.size());
}

// The worker (run_streaming_in_thread).
StreamEnd run_streaming_in_thread(const RequestRun &run, const Stream &stream) {
    nb::handle self = run.kernel;
    BoundRun bound(stream.interruptible);
    log().debug("[TIMING] Streaming worker started: thread=",
                nb::handle(refs.current_thread)().attr(names::name), ", request_id=", stream.request_id);
    try {
        FunctionLookup found = look_up_function(stream.module_name, stream.function_name);
        if (found.missing == FunctionLookup::Missing::module) {
            nb::object modules = nb::handle(refs.sys).attr("modules");
            log().error("[Kernel] Module not found in sys.modules: ", stream.module_name);
            log().error("[Kernel] Sample of available modules: ", public_names(modules, 20));
            log().error("[Kernel] in_memory_loader.source_cache keys: ", copy_list(source_cache()));
            return refused("Module not found: %S", stream.module_name);
        }
        log().debug("[Kernel] Found module in sys.modules: ", stream.module_name);
        if (found.missing == FunctionLookup::Missing::function) {
            log().error("[Kernel] Function not found in module: ", stream.function_name);
            nb::object listing = nb::steal(PyObject_Dir(found.module.ptr()));
            if (!listing.is_valid())
                throw nb::python_error();
            log().error("[Kernel] Available functions in module: ", public_names(listing, -1));
            return refused("Function not found: %S", stream.function_name);
        }
        log().debug("[Kernel] Found function: ", stream.function_name);
        UserCode user;  // an interrupt of the stream lands in here only
        nb::object generator = call_with(found.function, deserialize_args(self, stream.args));
        if (!PyGen_Check(generator.ptr())) {
            log().error("[Kernel] Function ", stream.function_name, " is not a generator function");
            return refused("Function %S is not a generator function", stream.function_name);
        }

        log().info("[Kernel] Starting to stream results from generator: ", stream.function_name);
        nb::object canceled = kernel_state(self).canceled_streams;
        long count = 0;
        ValueSends sends(self, stream.request_id);
        while (PyObject *next = PyIter_Next(generator.ptr())) {
            nb::object item = nb::steal(next);
            // The "Canceled" message is sent on the loop once this thread
            // is done with the stream and its slot is given back.
            if (in_set(canceled, stream.request_id)) {
                discard(canceled, stream.request_id);
                return StreamEnd::canceled();
            }
            sends.send(stream_result(
                self, stream, {{names::result, wire_field(wire_text(item))}, {names::done, Py_False}}));
            if (++count % values_per_pause == 0) {
                nb::gil_scoped_release released;
                std::this_thread::sleep_for(pause);
            }
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        sends.finish();
        return StreamEnd::completed(count);
    } catch (...) {
        nb::object e = catch_any();
        // An interrupted stream ends as a canceled one.
        if (stream.interruptible->was_interrupted() &&
            PyErr_GivenExceptionMatches(e.ptr(), PyExc_KeyboardInterrupt))
            return StreamEnd::canceled();
        print_exception(e);
        log().error("[TIMING] Streaming error: request_id=", stream.request_id, ", error=", nb::str(e));
        return StreamEnd::failed(failure_text(e));
    }
}

// Whatever happens once the worker was started, the request's id leaves the
// cancel set.
struct ForgetCancel {
    nb::object set, request_id;
    ~ForgetCancel() {
        ErrorStash stash;
        discard(set, request_id);
    }
};

Coro execute_streaming_function(nb::object self, Stream stream) {
    auto start = std::chrono::steady_clock::now();
    log().debug("[TIMING] Streaming execution started: request_id=", stream.request_id,
                ", function=", stream.module_name, ".", stream.function_name);
    log().info("[Kernel] _execute_streaming_function: module=", stream.module_name,
               ", function=", stream.function_name, ", request_id=", stream.request_id);

    // An odd module name (one that cannot be looked up) or a failed send
    // while preparing is answered too: the cell must not wait forever.
    nb::object failure;
    bool ready = false;
    try {
        ready = truthy(co_await module_synced(self, stream.module_name, stream.interruptible));
        if (stream.interruptible->take_pending()) {
            ready = false;
            co_await send_message(
                self,
                stream_result(self, stream, {{names::result, nb::str("Canceled")}, {names::done, Py_True}}));
        } else if (!ready) {
            log().error("[TIMING] Streaming failed: request_id=", stream.request_id,
                        ", elapsed=", ms1(elapsed_ms(start)), "ms, error=Module not found after sync");
            log().error("[Kernel] Module '", stream.module_name, "' not found after sync attempt");
            nb::object text = formatted("Module '%S' not found after sync attempt", stream.module_name);
            co_await send_message(self, failed(self, stream, text));
        } else if (!room_for_stream(self, stream)) {
            ready = false;
            co_await send_message(self, failed(self, stream, too_many_streams_text()));
        }
    } catch (...) {
        failure = catch_exception();
    }
    if (failure.is_valid()) {
        log().error("[Kernel] Unexpected error in _execute_streaming_function: ", nb::str(failure));
        co_await send_message(self, failed(self, stream, failure_text(failure)));
        co_return nb::none();
    }
    if (!ready)
        co_return nb::none();

    ForgetCancel forget{kernel_state(self).canceled_streams, stream.request_id};
    try {
        LiveStreamSlot slot(self);  // taken with no await since room_for_stream
        RequestRun run(self, stream.request_id, stream.workbook_id, stream.source);
        auto end = std::make_shared<StreamEnd>();
        co_await run_streamed(run, kernel_state(self).stream_pool, [run, stream, end](CapturedOutput &) {
            *end = run_streaming_in_thread(run, stream);
            return nb::none();
        });
        slot.release();
        double elapsed = elapsed_ms(start);
        if (end->how == StreamEnd::How::failed) {
            log().error("[TIMING] Streaming failed: request_id=", stream.request_id,
                        ", elapsed=", ms1(elapsed), "ms, error=", end->error);
            co_await send_message(self, failed(self, stream, end->error));
        } else if (end->how == StreamEnd::How::canceled) {
            log().debug("[TIMING] Streaming canceled: request_id=", stream.request_id,
                        ", elapsed=", ms1(elapsed), "ms");
            co_await send_message(
                self,
                stream_result(self, stream, {{names::result, nb::str("Canceled")}, {names::done, Py_True}}));
        } else {
            log().debug("[TIMING] Streaming completed: request_id=", stream.request_id,
                        ", elapsed=", ms1(elapsed), "ms, results=", end->values);
            co_await send_message(self, stream_result(self, stream, {{names::done, Py_True}}));
        }
    } catch (...) {
        failure = catch_exception();
    }
    if (failure.is_valid()) {
        log().error("[TIMING] Streaming exception: request_id=", stream.request_id,
                    ", elapsed=", ms1(elapsed_ms(start)), "ms, error=", nb::str(failure));
        co_await send_message(self, failed(self, stream, failure_text(failure)));
    }
    co_return nb::none();
}

nb::object streaming_function_coroutine(nb::handle self, nb::object request_id, nb::object module_name,
                                        nb::object function_name, nb::object args, nb::object workbook_id,
                                        nb::object source) {
    InterruptibleRef interruptible = Interruptible::accept(request_id);
    Stream stream{std::move(request_id),  std::move(module_name), std::move(function_name), std::move(args),
                  std::move(workbook_id), std::move(source),      std::move(interruptible)};
    return execute_streaming_function(nb::borrow(self), std::move(stream))
        .named("_execute_streaming_function", "PythonKernel._execute_streaming_function")
        .object();
}

// Cancel ids of streams that already ended stay in the set; only the newest
// MAX_CANCELED_STREAMS are kept, in arrival order (the state's
// canceled_order).
void remember_cancel(nb::handle self, nb::handle request_id) {
    KernelState &state = kernel_state(self);
    nb::object canceled = state.canceled_streams;
    canceled.attr("add")(request_id);
    nb::object order = state.canceled_order;
    nb::borrow<nb::list>(order).append(request_id);
    Py_ssize_t limit = module_size_constant(names::MAX_CANCELED_STREAMS);
    Py_ssize_t size = nb::len(canceled);
    if (size <= limit && PyList_GET_SIZE(order.ptr()) <= 2 * limit)
        return;
    nb::list still_canceled;
    for (nb::handle id : order)
        if (contains(canceled, id))
            still_canceled.append(id);
    Py_ssize_t first_kept = 0;
    for (; size > limit && first_kept < PyList_GET_SIZE(still_canceled.ptr()); ++first_kept, --size)
        canceled.attr("discard")(still_canceled[first_kept]);
    if (first_kept > 0)
        log().warning("[Kernel] Forgot ", first_kept, " cancel requests of streams that had ended (at most ",
                      limit, " are kept)");
    nb::object kept =
        nb::steal(PyList_GetSlice(still_canceled.ptr(), first_kept, PyList_GET_SIZE(still_canceled.ptr())));
    if (!kept.is_valid())
        throw nb::python_error();
    state.canceled_order = kept;
}

}  // namespace

void define_streaming_function(ClassBuilder &cls) {
    cls.method("_execute_streaming_function", &streaming_function_coroutine, nb::arg("request_id").none(),
               nb::arg("module_name").none(), nb::arg("function_name").none(), nb::arg("args").none(),
               nb::arg("workbook_id").none(), nb::arg("source").none());
}

nb::object execute_streaming_function_coroutine(nb::handle self, nb::handle message) {
    nb::object request_id = get(message, names::request_id);
    nb::object module_name = get(message, names::module_name);
    nb::object function_name = get(message, names::function_name);
    nb::object args = get(message, names::args, nb::list());
    nb::object workbook = get(message, names::workbook_id, nb::str(""));
    nb::object source = get(message, names::source, nb::str("addin"));
    log().debug("[TIMING] Dispatching streaming function to background task");
    log().info("[Kernel] [Listener Thread] Dispatching execute_streaming_function to background task");
    return streaming_function_coroutine(self, request_id, module_name, function_name, args, workbook, source);
}

void on_cancel_streaming_function(nb::handle self, nb::handle message) {
    nb::object request_id = get(message, names::request_id);
    log().info("[Kernel] Received cancel_streaming_function for request_id: ", request_id);
    remember_cancel(self, request_id);
}

}  // namespace tarvex::kernel
