// The pieces every handler that runs user code is made of:
//
//   Coro handler(nb::object self, nb::object message) {     // event loop
//       ...read fields, log, validate...
//       nb::object loop = running_loop();
//       RequestStreams streams(self, loop, request_id, workbook_id, source);
//       nb::object outcome = co_await run_in_worker(self, loop, [=] {   // pool thread
//           log().debug(worker_prefix(), "Executing ...");
//           CapturedOutput output(streams.stdout_callback, streams.stderr_callback);
//           ...import the module, call the user function...
//           return outcome_dict;                  // plain dict, GIL held
//       });
//       co_await streams.flushed();               // output first, then the replies
//       ...send the replies with co_await send_message(self, ...)...
//   }
//
// Worker lambdas capture by value (nb::object copies); they are ordinary
// functions, never coroutines.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <utility>

#include "common/coro.hpp"

#include "kernel/execution/captured_output.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

// asyncio.get_running_loop().
nb::object running_loop();

// The two request stream callbacks: each write becomes a "stdout"/"stderr"
// message {type, content, request_id, workbook_id, source}, handed to the
// loop without waiting. Failures are logged at debug level and dropped.
struct RequestStreams {
    // The future of the latest stream send handed to the loop.
    struct Trail {
        nb::object last_send;
    };

    nb::object stdout_callback;
    nb::object stderr_callback;
    std::shared_ptr<Trail> trail;
    RequestStreams(nb::handle kernel, nb::handle loop, nb::handle request_id, nb::handle workbook_id,
                   nb::handle source);

    // Completes once every stream message handed to the loop so far has been
    // written. A worker that finishes quickly can have its result ready
    // before the loop has even started the sends of its output; awaiting
    // this before replying keeps the output ahead of the reply.
    Coro flushed() const { return wait_for_trail(trail); }

private:
    static Coro wait_for_trail(std::shared_ptr<Trail> trail);
};

// loop.run_in_executor(kernel._thread_pool, fn): an awaitable for `fn()`
// run on a pool thread with the GIL held.
nb::object run_in_worker(nb::handle kernel, nb::handle loop, nb::object fn);
template <typename Fn>
nb::object run_in_worker(nb::handle kernel, nb::handle loop, Fn &&fn) {
    return run_in_worker(kernel, loop, nb::object(nb::cpp_function(std::forward<Fn>(fn))));
}

// "[Kernel] [Worker Thread <current thread's name>] "
std::string worker_prefix();

// Runs the statement `import NAME` in the kernel module's globals, so the
// import goes through sys.meta_path (and the in-memory loader).
void import_user_module(nb::handle module_name);

// traceback.print_exception(e) to the current sys.stderr (the run's capture
// on a worker thread, so the traceback is streamed).
void print_exception(nb::handle e);

}  // namespace tarvex::kernel
