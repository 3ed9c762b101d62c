// Editor code that awaits at top level, as notebook users write it
// (`data = await fetch()`): it runs on an event loop of the worker's own,
// made for the run and closed after it, never the kernel's loop.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

namespace tarvex::kernel {

namespace nb = nanobind;

// One compiled piece of a run. `awaited`: the code awaits at top level, so
// evaluating it gives the coroutine to run. `failure`: the piece did not
// compile, and that exception is raised when the run reaches it.
struct CodeStep {
    nb::object code;
    bool awaited = false;
    nb::object failure;

    static CodeStep plain(nb::object code) { return {std::move(code), false, nb::object()}; }
    static CodeStep awaiting(nb::object code) { return {std::move(code), true, nb::object()}; }
    static CodeStep failed(nb::object failure) { return {nb::object(), false, std::move(failure)}; }
};

// True for a code object compiled with top-level await that uses it.
bool awaits_at_top_level(nb::handle code);

// Runs the steps in order inside one coroutine on a new event loop of the
// calling thread (so plain statements beside the awaits see the running
// loop too), and returns the value of the last step. The loop is closed,
// with whatever tasks the code left behind, before this returns; the
// thread's current event loop is never set. An exception raised by the
// code keeps the traceback it had when it left the code: asyncio's frames
// are not the user's.
nb::object run_on_own_loop(std::vector<CodeStep> steps, nb::handle globals, nb::handle locals);

}  // namespace tarvex::kernel
