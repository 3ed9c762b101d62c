// Wakes a thread that waits for the response to its request. It fires from
// a done-callback of the request's concurrent.futures.Future, so every way
// the future ends (result, error, cancellation) wakes the waiter, and the
// waiter sleeps on a C++ condition without holding the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace tarvex {

namespace nb = nanobind;

class ResponseSignal {
public:
    void fire();

    // Waits up to `timeout_seconds` (no wait unless positive; an infinite
    // value waits for good); true once fired. Releases the GIL while it
    // sleeps; on the main thread it wakes now and then to run signal
    // handlers, so Ctrl-C interrupts the wait.
    bool wait(double timeout_seconds);

private:
    std::mutex mutex_;
    std::condition_variable fired_cv_;
    bool fired_ = false;
};

// Looks up the main thread, whose waits poll for signals; called once at
// module load.
void init_response_signal();

// A done-callback for a future that fires `signal`.
nb::object firing_callback(std::shared_ptr<ResponseSignal> signal);

}  // namespace tarvex
