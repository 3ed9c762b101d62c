// Holds a Python lock for the life of a scope: `with lock:` for a
// threading.Lock (acquire() releases the GIL while it blocks), and the
// release half of `async with` for an asyncio.Lock already acquired (see
// tarvex::acquire in coro.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace tarvex {

class HeldLock {
public:
    struct Adopt {};
    static constexpr Adopt adopt{};

    // Acquires `lock`.
    explicit HeldLock(nanobind::object lock);
    // Takes over `lock`, already acquired.
    HeldLock(nanobind::object lock, Adopt) noexcept : lock_(std::move(lock)) {}
    HeldLock(HeldLock &&other) noexcept = default;
    HeldLock &operator=(HeldLock &&) = delete;
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;
    // Releases it; an error already pending stays pending.
    ~HeldLock();

private:
    nanobind::object lock_;
};

}  // namespace tarvex
