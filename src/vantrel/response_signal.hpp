// Wakes a thread that waits for the response to its request. It is the
// done-callback of the request's concurrent.futures.Future, so every way
// the future ends (result, error, cancel by reset) wakes the waiter, and
// the waiter sleeps on a C++ condition without holding the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <condition_variable>
#include <mutex>

namespace vantrel {

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

void init_response_signal(nb::module_ &m);

// A new signal object; `signal` points into it while it lives.
nb::object new_response_signal(ResponseSignal *&signal);

}  // namespace vantrel
