#include "kernel/support/interrupts.hpp"

#include <mutex>
#include <unordered_map>
#include <vector>

namespace tarvex::kernel {

namespace {

thread_local Interruptible *bound = nullptr;

std::mutex registry_mutex;
std::unordered_multimap<std::string, Interruptible *> *registry = nullptr;  // never destroyed

// The request id as registry key; empty for ids that are not str.
std::string key_of(nb::handle request_id) {
    if (!request_id.is_valid() || !PyUnicode_Check(request_id.ptr()))
        return {};
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(request_id.ptr(), &size);
    if (!text) {
        PyErr_Clear();
        return {};
    }
    return std::string(1, 's').append(text, static_cast<size_t>(size));
}

// Whether the interpreter holds an asynchronous exception for this thread,
// not raised yet.
bool async_exception_waiting() {
    return __atomic_load_n(&PyThreadState_Get()->async_exc, __ATOMIC_ACQUIRE) != nullptr;
}

// Takes back this thread's asynchronous exception; true when there was one.
bool withdraw_async_exception() {
    if (!async_exception_waiting())
        return false;
    PyThreadState_SetAsyncExc(PyThread_get_thread_ident(), nullptr);
    return true;
}

[[noreturn]] void raise_keyboard_interrupt() {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw nb::python_error();
}

}  // namespace

// --- the request ---

std::shared_ptr<Interruptible> Interruptible::accept(nb::handle request_id) {
    std::shared_ptr<Interruptible> request(new Interruptible());
    request->id_ = key_of(request_id);
    if (!request->id_.empty()) {
        std::lock_guard<std::mutex> held(registry_mutex);
        if (!registry)
            registry = new std::unordered_multimap<std::string, Interruptible *>();
        registry->emplace(request->id_, request.get());
    }
    return request;
}


Interruptible::~Interruptible() {
    if (id_.empty())
        return;
    std::lock_guard<std::mutex> held(registry_mutex);
    auto [first, last] = registry->equal_range(id_);
    for (auto it = first; it != last; ++it)
        if (it->second == this) {
            registry->erase(it);
            break;
        }
}

void Interruptible::queued(nb::object future, std::function<void()> answer) {
    if (state_ != State::queued)
        return;  // already taken by a thread
    future_ = std::move(future);
    answer_ = std::move(answer);
}

bool Interruptible::take_pending() {
    bool was = pending_;
    pending_ = false;
    return was;
}

void Interruptible::finish() {
    state_ = State::finished;
    pending_ = false;
    // The answer holds the request itself: let go of the cycle.
    future_ = nb::object();
    answer_ = nullptr;
    hook_ = nullptr;
}

void Interruptible::arm() { PyThreadState_SetAsyncExc(thread_, PyExc_KeyboardInterrupt); }

bool Interruptible::deliver(std::function<void()> &answer) {
    if (state_ == State::finished)
        return false;
    interrupted_ = true;
    if (state_ == State::in_user_code && held_off_ == 0 && !wait_) {
        arm();
    } else {
        pending_ = true;
        if (wait_)
            wait_->wake_up();
    }
    if (state_ == State::queued && future_.is_valid()) {
        nb::object future = std::move(future_);
        PyObject *cancelled = PyObject_CallMethod(future.ptr(), "cancel", nullptr);
        if (!cancelled)
            throw nb::python_error();
        if (cancelled == Py_True)
            answer = std::move(answer_);
        Py_DECREF(cancelled);
    }
    return true;
}

bool interrupt(nb::handle request_id, const std::function<void(bool)> &answered) {
    std::string key = key_of(request_id);
    // Kept alive while they are told: a run may end meanwhile.
    std::vector<std::shared_ptr<Interruptible>> found;
    {
        std::lock_guard<std::mutex> held(registry_mutex);
        if (registry && !key.empty()) {
            auto [first, last] = registry->equal_range(key);
            // The registry holds raw pointers; a run whose last owner is
            // letting go right now is already past its user code.
            for (auto it = first; it != last; ++it)
                if (it->second->state_ != Interruptible::State::finished)
                    found.push_back(it->second->weak_from_this().lock());
        }
    }
    std::vector<std::shared_ptr<Interruptible>> reached;
    std::vector<std::function<void()>> answers;
    for (auto &request : found) {
        std::function<void()> answer;
        if (!request || !request->deliver(answer))
            continue;
        if (answer)
            answers.push_back(std::move(answer));
        reached.push_back(std::move(request));
    }
    answered(!reached.empty());
    for (const auto &answer : answers) answer();  // queued runs, answered here as interrupted
    for (const auto &request : reached)
        if (request->hook_ && request->state_ != Interruptible::State::finished)
            request->hook_();
    return !reached.empty();
}

// --- on the worker ---

BoundRun::BoundRun(InterruptibleRef request) : request_(std::move(request)), outer_(bound) {
    request_->state_ = Interruptible::State::running;
    request_->thread_ = PyThread_get_thread_ident();
    request_->future_ = nb::object();
    request_->answer_ = nullptr;
    bound = request_.get();
}

BoundRun::~BoundRun() {
    request_->finish();
    bound = outer_;
}

UserCode::UserCode() : request_(bound) {
    if (!request_)
        return;
    if (request_->take_pending()) {
        request_->state_ = Interruptible::State::finished;
        raise_keyboard_interrupt();
    }
    request_->state_ = Interruptible::State::in_user_code;
}

UserCode::~UserCode() {
    if (!request_)
        return;
    request_->state_ = Interruptible::State::finished;
    request_->pending_ = false;
    withdraw_async_exception();
}

InterruptsHeldOff::InterruptsHeldOff() : request_(bound) {
    if (!request_ || request_->state_ != Interruptible::State::in_user_code) {
        request_ = nullptr;
        return;
    }
    if (request_->held_off_++ == 0 && withdraw_async_exception())
        request_->pending_ = true;
}

InterruptsHeldOff::~InterruptsHeldOff() {
    if (!request_)
        return;
    if (--request_->held_off_ == 0 && request_->pending_ && !request_->wait_ &&
        request_->state_ == Interruptible::State::in_user_code) {
        request_->pending_ = false;
        request_->arm();
    }
}

InterruptibleWait::InterruptibleWait(std::function<void()> wake) : wake_(std::move(wake)), request_(bound) {
    if (!request_ || request_->state_ == Interruptible::State::finished || request_->wait_) {
        request_ = nullptr;
        return;
    }
    request_->wait_ = this;
    // An interrupt that came while the kernel prepared this wait (held off
    // in a sys_request, say) wakes it before it begins.
    if (request_->pending_)
        wake_up();
}

InterruptibleWait::~InterruptibleWait() {
    if (request_)
        request_->wait_ = nullptr;
}

void InterruptibleWait::wake_up() {
    woken_.store(true, std::memory_order_release);
    wake_();
}

bool InterruptibleWait::interrupted() const { return request_ && request_->pending_; }

void InterruptibleWait::raise_if_interrupted() const {
    if (request_ && request_->take_pending())
        raise_keyboard_interrupt();
}

}  // namespace tarvex::kernel
