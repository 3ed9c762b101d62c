// Stopping a request's user code from the event loop (interrupt_request).
//
// A request that runs user code registers under its request_id when it is
// accepted. The thread that runs it binds it (BoundRun) and marks the span
// where the user's code runs (UserCode). An interrupt then raises
// KeyboardInterrupt in that thread at its next Python line, through the
// interpreter's asynchronous exception; one that comes before the span is
// raised as the span opens, and one for a run still queued takes it out of
// its queue. The moment the span closes, an interrupt not yet raised is
// withdrawn: it never reaches the kernel's code after the user's, nor the
// next request of that thread.
//
// Kernel code that user code calls (a write to the outbox, a sys_request)
// holds interrupts off (InterruptsHeldOff), so that it is never cut in
// half; an interrupt that comes meanwhile is raised once the user's code
// runs again. The kernel's own waits (InterruptibleWait) wake at once and
// decide themselves what an interrupt means for them.
//
// Every state change happens on a thread that holds the GIL, which also
// orders them; the registry of ids has a mutex of its own.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace tarvex::kernel {

namespace nb = nanobind;

class InterruptibleWait;

class Interruptible : public std::enable_shared_from_this<Interruptible> {
public:
    // On the loop, when a request is accepted: its interrupt state,
    // registered under `request_id` when that is a str (a request without
    // an id cannot be named, so cannot be interrupted).
    static std::shared_ptr<Interruptible> accept(nb::handle request_id);
    ~Interruptible();

    // On the loop, after submitting the run to a pool: `future` is its
    // concurrent future; an interrupt while it is still queued cancels it
    // and calls `answer` on the loop, which runs the request at once with
    // the interrupt pending, so that it answers as interrupted.
    void queued(nb::object future, std::function<void()> answer);
    // On the loop: `hook` runs (GIL held) when an interrupt reaches this
    // request while its user code may run; a debug run stops its debugger.
    void on_interrupt(std::function<void()> hook) { hook_ = std::move(hook); }

    // Whether an interrupt reached this request at any time.
    bool was_interrupted() const { return interrupted_; }
    // Whether an interrupt is waiting to be raised.
    bool pending() const { return pending_; }
    // Takes the pending interrupt, if any; true when there was one.
    bool take_pending();
    // The run is over: later interrupts answer "not running".
    void finish();

private:
    friend class BoundRun;
    friend class UserCode;
    friend class InterruptsHeldOff;
    friend class InterruptibleWait;
    friend bool interrupt(nb::handle request_id, const std::function<void(bool)> &answered);

    enum class State { queued, running, in_user_code, finished };

    Interruptible() = default;
    // With the GIL: delivers one interrupt; false when the run is over.
    bool deliver(std::function<void()> &after);
    // Raises the interrupt now in the bound thread (GIL held).
    void arm();

    std::string id_;  // empty when not registered
    State state_ = State::queued;
    unsigned long thread_ = 0;
    bool interrupted_ = false;
    bool pending_ = false;
    int held_off_ = 0;
    InterruptibleWait *wait_ = nullptr;
    nb::object future_;
    std::function<void()> answer_;
    std::function<void()> hook_;
};

using InterruptibleRef = std::shared_ptr<Interruptible>;

// On the loop: interrupts every running request named `request_id`; false
// when none runs. `answered(interrupted)` is called once the interrupts are
// delivered, before queued runs taken out of their queues answer and
// before the requests' hooks run.
bool interrupt(nb::handle request_id, const std::function<void(bool)> &answered);

// On a worker, for the whole of one request's run: `request` is the
// thread's request. On finishing, the request is over.
class BoundRun {
public:
    explicit BoundRun(InterruptibleRef request);
    ~BoundRun();
    BoundRun(const BoundRun &) = delete;
    BoundRun &operator=(const BoundRun &) = delete;

private:
    InterruptibleRef request_;
    Interruptible *outer_;
};

// The span where the user's code runs on this thread. Opening it raises
// KeyboardInterrupt when an interrupt is pending; closing it withdraws one
// not raised yet. Nothing happens on a thread with no bound request.
class UserCode {
public:
    UserCode();
    ~UserCode();
    UserCode(const UserCode &) = delete;
    UserCode &operator=(const UserCode &) = delete;

private:
    Interruptible *request_;
};

// Kernel code called from user code: no interrupt is raised inside it.
// One raised by the interpreter meanwhile is taken back and raised once
// the guard ends.
class InterruptsHeldOff {
public:
    InterruptsHeldOff();
    ~InterruptsHeldOff();
    InterruptsHeldOff(const InterruptsHeldOff &) = delete;
    InterruptsHeldOff &operator=(const InterruptsHeldOff &) = delete;

private:
    Interruptible *request_;
};

// A wait of the kernel's own, made with the GIL held before the wait
// releases it: an interrupt of the thread's request calls `wake` (no GIL,
// any thread), after which woken() is true. The waiter's predicate checks
// woken(); after waking, raise_if_interrupted() raises KeyboardInterrupt
// (taking the interrupt) or interrupted() tells, for waits that choose
// otherwise.
class InterruptibleWait {
public:
    explicit InterruptibleWait(std::function<void()> wake);
    ~InterruptibleWait();
    InterruptibleWait(const InterruptibleWait &) = delete;
    InterruptibleWait &operator=(const InterruptibleWait &) = delete;

    bool woken() const { return woken_.load(std::memory_order_acquire); }
    // GIL held: whether an interrupt is pending for the thread's request.
    bool interrupted() const;
    // GIL held: takes a pending interrupt and raises it as KeyboardInterrupt.
    void raise_if_interrupted() const;

private:
    friend class Interruptible;
    void wake_up();

    std::function<void()> wake_;
    std::atomic<bool> woken_{false};
    Interruptible *request_;
};

}  // namespace tarvex::kernel
