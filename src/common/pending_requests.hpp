// Requests waiting for their responses, matched by request id: the one
// matcher of the kernel's sys_requests and the object bridge's Messaging.
//
// The table (request id -> the concurrent.futures.Future the requesting
// thread waits on) and its threading.Lock are the host's own attributes,
// readable from Python; this class is the one way they are used. Sending is
// the host's business: it registers a waiter, sends, then waits.
//
//   PendingRequests pending(table, lock);
//   auto waiter = pending.expect(id);       // before the request leaves
//   ...send...                              // on failure: pending.forget(id)
//   std::optional<nb::object> response = pending.wait(id, waiter, seconds);
//
// and, from the thread that receives responses, claim(id) then resolve or
// reject. The lock is held for table operations only: a future's callbacks
// (and whatever they set off, a finalizer sending a request, say) run
// outside it.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <utility>

#include "common/response_signal.hpp"

namespace tarvex {

namespace nb = nanobind;

// Looks up what the matcher uses; called once when a module that uses it
// loads (at import, not from a worker thread that runs user code).
void init_pending_requests();

class PendingRequests {
public:
    PendingRequests(nb::object table, nb::object lock) : table_(std::move(table)), lock_(std::move(lock)) {}

    struct Waiter {
        nb::object future;
        std::shared_ptr<ResponseSignal> signal;
    };

    // Registers a waiter for `id`, before its request is sent, so that an
    // answer that comes at once is not missed.
    Waiter expect(nb::handle id) const;

    // Takes the waiter of `id` out of the table, if it is there.
    void forget(nb::handle id) const;

    // Waits up to `seconds` (the GIL released) for the answer: its value, or
    // nothing when the time ran out. A waiter that was failed raises the
    // failure as it is; one that was cancelled raises
    // concurrent.futures.CancelledError. On every way out but an answer the
    // waiter is forgotten.
    std::optional<nb::object> wait(nb::handle id, const Waiter &waiter, double seconds) const;

    // The future of the waiter of `id`, taken out of the table; invalid when
    // nobody waits for `id` (unknown, answered already, timed out).
    nb::object claim(nb::handle id) const;

    // Completes a claimed future. One completed elsewhere meanwhile is left
    // as it is.
    static void resolve(nb::handle future, nb::handle value);
    static void reject(nb::handle future, nb::handle error);

    // Cancels every waiter: their threads wake with CancelledError.
    void cancel_all() const;

    // Whether `error` is what wait() raises for a cancelled waiter.
    static bool is_cancellation(const nb::python_error &error);

    const nb::object &table() const { return table_; }
    const nb::object &lock() const { return lock_; }

    // For the collector of the object that keeps the matcher. Cleared, the
    // matcher is left with None in both places: a late caller gets a
    // Python error, never a crash.
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(table_.ptr());
        Py_VISIT(lock_.ptr());
        return 0;
    }
    void clear() {
        nb::object table = std::exchange(table_, nb::none()), lock = std::exchange(lock_, nb::none());
    }

private:
    nb::object table_, lock_;
};

}  // namespace tarvex
