#include "common/response_signal.hpp"

#include <chrono>
#include <utility>

namespace tarvex {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting main thread looks for pending signals.
constexpr auto kSignalPollInterval = std::chrono::milliseconds(100);
// Longer time limits are taken as "no limit".
constexpr double kUnlimitedSeconds = 1e9;

unsigned long main_thread_ident = 0;

}  // namespace

void init_response_signal() {
    main_thread_ident =
        nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident"));
}

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
    const bool main_thread = PyThread_get_thread_ident() == main_thread_ident;
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
            if (unlimited && !main_thread) {
                fired_cv_.wait(lock, is_fired);
            } else {
                Clock::time_point until = deadline;
                if (main_thread) {
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

nb::object firing_callback(std::shared_ptr<ResponseSignal> signal) {
    return nb::cpp_function([signal = std::move(signal)](nb::handle) { signal->fire(); }, nb::name("fire"),
                            nb::arg("future").none());
}

}  // namespace tarvex
