// Where output goes while requests run.
//
// A run installs its two captures as sys.stdout/sys.stderr for its duration,
// as contextlib.redirect_stdout/redirect_stderr would. Since those are
// process-wide and runs on different worker threads overlap, writes are
// routed by thread on top of that:
//   - a thread running a request writes to that request's captures, whatever
//     sys.stdout currently is (another run's capture, the kernel hooks, or a
//     capture kept from an earlier run, e.g. by a logging handler);
//   - any other thread writes to the streams that were current before the
//     first of the active runs started (normally the kernel-level hooks).
// When the last active run ends, sys.stdout/sys.stderr are put back to those
// streams, whatever order the runs ended in.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel::output {

namespace nb = nanobind;

enum class Stream : int { out = 0, err = 1 };

struct ActiveRun;

// Installs `out`/`err` for the calling thread's run; restores on destruction.
// Must be created and destroyed on the same thread, with the GIL held.
class RunRedirect {
public:
    RunRedirect(nb::handle out, nb::handle err);
    ~RunRedirect();
    RunRedirect(const RunRedirect &) = delete;
    RunRedirect &operator=(const RunRedirect &) = delete;

private:
    ActiveRun *run_;
};

// The object a write through capture `self` should reach: `self` itself, or
// another stream when the writing thread belongs elsewhere.
nb::object capture_target(nb::handle self);

// The calling thread's run capture for `stream`, or an invalid object when
// the thread runs no request.
nb::object thread_capture(Stream stream);

// Sets the process-wide streams (the kernel-level hooks on connect, the saved
// originals on disconnect). While runs are active, sys.stdout/sys.stderr stay
// theirs and these become the streams restored after the last one ends.
void install_process_streams(nb::handle out, nb::handle err);

// True for instances of the module's StreamCapture class.
bool is_stream_capture(nb::handle obj);
void set_stream_capture_type(nb::handle cls);

}  // namespace tarvex::kernel::output
