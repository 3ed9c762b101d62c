// The pieces every handler that runs user code is made of. Most requests
// do all of it on the pool thread (worker_request.hpp); debug runs and live
// streams, which keep state on the loop, take this shape:
//
//   Coro handler(nb::object self, nb::object message) {     // event loop
//       ...read fields, log, validate...
//       RequestRun run(self, request_id, workbook_id, source);
//       nb::object outcome = co_await run_captured(run, pool, [=](CapturedOutput &output) {   // pool thread
//           log().debug(worker_prefix(), "Executing ...");
//           ...import the module, call the user function...
//           return outcome_dict;                  // plain dict, GIL held
//       });
//       ...send the replies with co_await send_message(self, ...)...
//   }
//
// The output the worker streamed went through the outbox before its
// outcome came back, so replies sent afterwards always follow it. A live
// stream uses run_streamed instead (a thread of its own, output not kept).
// The pools are the kernel's (its state's pool_for and stream_pool).
// Worker lambdas capture by value (nb::object copies); they are ordinary
// functions, never coroutines.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "common/coro.hpp"
#include "kernel/execution/captured_output.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// asyncio.get_running_loop().
nb::object running_loop();

// The two request stream callbacks: each write is appended to the
// request's output in the kernel's outbox, which sends it as "stdout"/
// "stderr" messages {type, content, request_id, workbook_id, source}
// (consecutive writes waiting together as one). A write waits only while
// the outbox holds as much output as it may. Failures are logged at debug
// level and dropped. A reply of the request waits its turn behind them, so
// output always comes first.
struct RequestStreams {
    nb::object stdout_callback;
    nb::object stderr_callback;
    RequestStreams(nb::handle kernel, nb::handle request_id, nb::handle workbook_id, nb::handle source);
};

// One request run on the kernel's pool: the loop the handler runs on and the
// request's stream callbacks. Made on the event loop.
struct RequestRun {
    nb::object kernel;
    nb::object loop;
    RequestStreams streams;
    RequestRun(nb::handle kernel, nb::handle request_id, nb::handle workbook_id, nb::handle source);

    // From the worker: hands `message` to the outbox without waiting, in
    // order with the request's output.
    void post(nb::handle message) const;
};

// loop.run_in_executor(pool, fn): an awaitable for `fn()` run on a thread
// of `pool` with the GIL held.
nb::object run_in_worker(nb::handle pool, nb::handle loop, nb::object fn);
template <typename Fn>
nb::object run_in_worker(nb::handle pool, nb::handle loop, Fn &&fn) {
    return run_in_worker(pool, loop, nb::object(nb::cpp_function(std::forward<Fn>(fn))));
}

// The worker that runs `body(output)` with the request's output captured
// for its duration.
template <typename Body>
nb::object captured_worker(const RequestStreams &streams, Body body, CapturedOutput::Keep keep) {
    return nb::cpp_function([streams, body = std::move(body), keep]() -> nb::object {
        CapturedOutput output(streams.stdout_callback, streams.stderr_callback, keep);
        return body(output);
    });
}

// `body(output)` run on a thread of `pool` with the request's output
// captured for its duration; see the top of this file.
template <typename Body>
nb::object run_captured(const RequestRun &run, nb::handle pool, Body body) {
    return run_in_worker(pool, run.loop,
                         captured_worker(run.streams, std::move(body), CapturedOutput::Keep::text));
}

// run_captured for a live stream, on a thread of the stream pool, where
// each stream has a thread of its own: its output is streamed but not
// kept, so an endless stream that prints stays the same size.
template <typename Body>
nb::object run_streamed(const RequestRun &run, nb::handle stream_pool, Body body) {
    return run_in_worker(stream_pool, run.loop,
                         captured_worker(run.streams, std::move(body), CapturedOutput::Keep::nothing));
}

// "[Kernel] [Worker Thread <current thread's name>] " in a log line; the
// thread's name is only looked up when the line is written.
struct WorkerPrefix {
    void append_to(std::string &out) const;
};
inline WorkerPrefix worker_prefix() { return {}; }

// Imports module `module_name` through sys.meta_path (and so the in-memory
// loader), as the statement `import NAME` does. Nothing is bound in the
// kernel's own namespace, and the name is never compiled as source, so a
// workbook module may be called anything. When no finder knows the module
// itself, nothing is raised: the caller finds it missing from sys.modules
// and says so in its own words (pointing at update_module). Failures inside
// the module (its body raising, a missing import of its own) propagate.
void import_user_module(nb::handle module_name);

// sys.modules[module_name], or an invalid object when absent.
nb::object loaded_module(nb::handle module_name);

// hasattr(obj, name), errors other than AttributeError raised.
bool has_attribute(nb::handle obj, nb::handle name);

// kernel._deserialize_args(args): the call arguments decoded from wire values.
nb::object deserialize_args(nb::handle kernel, nb::handle args);

// func(*args) for a list of arguments.
nb::object call_with(nb::handle func, nb::handle args);

// traceback.print_exception(e) to the current sys.stderr (the run's capture
// on a worker thread, so the traceback is streamed).
void print_exception(nb::handle e);

// str(e), or the exception's class name when that is empty: failure texts
// must never read as "no error".
nb::object failure_text(nb::handle e);

// "Out: " + repr(value) + "\n": the display line of a result_output message.
nb::object out_line(nb::handle value);

// Takes `key` out of the worker's outcome dict once its replies are made:
// the loop then never holds the user's value, so neither its last release
// nor a __del__ runs there.
void drop_user_value(nb::handle outcome, PyObject *key);

// Milliseconds since `start`.
inline double elapsed_ms(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tarvex::kernel
