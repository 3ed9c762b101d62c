#include "vantrel/response_signal.hpp"

#include <chrono>

#include "vantrel/refs.hpp"

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting main thread looks for pending signals.
constexpr auto kSignalPollInterval = std::chrono::milliseconds(100);
// Longer time limits are taken as "no limit".
constexpr double kUnlimitedSeconds = 1e9;

unsigned long main_thread_ident = 0;

}  // namespace

void ResponseSignal::fire() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fired_ = true;
    }
    fired_cv_.notify_all();
}

bool ResponseSignal::wait(double timeout_seconds) {
    if (!(timeout_seconds > 0)) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fired_;
    }
    const bool unlimited = !(timeout_seconds < kUnlimitedSeconds);
    const bool on_main_thread = PyThread_get_thread_ident() == main_thread_ident;
    const Clock::time_point deadline =
        unlimited
            ? Clock::time_point{}
            : Clock::now() +
                  std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_seconds));
    for (;;) {
        bool fired, expired = false;
        {
            nb::gil_scoped_release released;
            std::unique_lock<std::mutex> lock(mutex_);
            auto is_fired = [this] { return fired_; };
            if (unlimited && !on_main_thread) {
                fired_cv_.wait(lock, is_fired);
            } else {
                Clock::time_point until = deadline;
                if (on_main_thread) {
                    Clock::time_point poll = Clock::now() + kSignalPollInterval;
                    if (unlimited || poll < until)
                        until = poll;
                }
                fired_cv_.wait_until(lock, until, is_fired);
                expired = !unlimited && Clock::now() >= deadline;
            }
            fired = fired_;
        }
        if (fired)
            return true;
        if (expired)
            return false;
        if (PyErr_CheckSignals() < 0)
            throw nb::python_error();
    }
}

void init_response_signal(nb::module_ &m) {
    main_thread_ident =
        nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident"));
    nb::class_<ResponseSignal>(m, "_ResponseSignal", "Wakes the thread waiting for one response.")
        .def("__call__", [](ResponseSignal &signal, nb::handle) { signal.fire(); }, nb::arg("future").none());
}

nb::object new_response_signal(ResponseSignal *&signal) {
    nb::object obj = nb::inst_alloc(nb::type<ResponseSignal>());
    signal = nb::inst_ptr<ResponseSignal>(obj);
    new (signal) ResponseSignal();
    nb::inst_mark_ready(obj);
    return obj;
}

}  // namespace vantrel
