// The kernel's state: everything a PythonKernel holds, as C++ fields on top
// of its connection. The class the product sees (runtime/python_kernel.cpp)
// is a subclass of the one bound here (_KernelState) and shows the
// attributes the product names as properties; C++ reaches the fields
// through kernel_state(self).
#pragma once

#include <nanobind/nanobind.h>

#include "common/pending_requests.hpp"
#include "kernel/transport/connection.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

struct KernelState : Connection {
    KernelState();

    nb::object workbook_id = nb::none();
    nb::object server_url = nb::none();   // "ws://" + host + ":" + port
    nb::object executor = nb::none();     // CodeExecutor: the console's namespace
    nb::object virtual_env = nb::none();  // VirtualEnvironment: the workbook's sys.path entries
    // Where work runs: the sheet's requests, the editor's own, a thread per
    // live stream, and the one thread that analyses the editor's code (jedi
    // is not thread-safe).
    nb::object thread_pool = nb::none(), ide_pool = nb::none(), stream_pool = nb::none(),
               analysis_pool = nb::none();
    Py_ssize_t live_streams = 0;  // streams holding a thread of stream_pool; on the loop only
    nb::object lexora = nb::none(), agent = nb::none(), event_manager = nb::none();
    nb::object object_keeper = nb::none();       // dict of the user's named objects
    nb::object object_keeper_lock = nb::none();  // threading.Lock over it
    PendingRequests sys_requests;                // workers waiting for a sys_response
    nb::object orphan_responses = nb::none();    // sys_responses nobody waited for, the newest kept
    nb::object release_ids = nb::none();         // releases whose answers are still to come, oldest first
    nb::object canceled_streams = nb::none();    // set of the request ids of canceled streams
    nb::object canceled_order = nb::none();  // the same ids as a list, oldest first, to forget them in order
    nb::object startup_packages = nb::none();  // frozenset of the packages the kernel itself runs on
    nb::object original_stdout = nb::none(), original_stderr = nb::none();
    nb::object debugger;  // the debug run's debugger; unset (null) until one starts

    // The debug run's debugger, None when no debug run is active.
    nb::object active_debugger() const;
    // Forgets `stopped` unless another debug run has taken its place.
    void forget_debugger(nb::handle stopped);

    // The pool for a request from `source`: the editor's requests ("ide")
    // never queue behind a sheet's work.
    const nb::object &pool_for(nb::handle source) const;

    int traverse(visitproc visit, void *arg);
    void clear();
};

// The state of a kernel object (TypeError for anything else, or for a
// kernel whose __init__ has not run).
KernelState &kernel_state(nb::handle kernel);

// The state of a kernel object whose __init__ runs: made the first time,
// the same one again when __init__ runs twice.
KernelState &make_kernel_state(nb::handle kernel);

// Binds _KernelState: the base of PythonKernel.
nb::handle define_kernel_state(nb::module_ &m);

}  // namespace tarvex::kernel
