// The replies of one request, made and encoded on the thread that ran it
// (repr() and JSON encoding of user values stay off the event loop), then
// sent by the handler on the loop, in order, once the run's output is out.
//
// Making them stops at the first failure: a repr() that raises, or a reply
// that json cannot encode. The handler meets that failure where the reply
// would have been sent, after the replies made before it, exactly as if it
// had made and sent them itself.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <vector>

#include "common/coro.hpp"
#include "kernel/transport/send_path.hpp"
#include "kernel/support/failures.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

class PreparedReplies {
public:
    // On the worker: runs `make(*this)`, which adds the replies; what it
    // raises is kept for the loop.
    template <typename Make>
    void prepare(Make make) {
        try {
            make(*this);
        } catch (...) {
            if (!stopped())
                failure_ = catch_any();
        }
    }

    // On the worker: encodes `message` as the next reply. Nothing is added
    // once a reply has failed to encode.
    void add(nb::handle message);

    // Nothing was made, nor failed to be.
    bool empty() const { return replies_.empty() && !failure_.is_valid(); }

    // On the loop: sends the replies in order, raising a kept failure at its
    // place. `replies` is shared with the worker that made them.
    static Coro send(nb::object self, std::shared_ptr<const PreparedReplies> replies);

    // On the worker that made them: hands the replies to the kernel's
    // outbox in order, then raises a kept failure.
    void post(nb::handle self) const;

private:
    bool stopped() const { return !replies_.empty() && replies_.back().failure.is_valid(); }

    std::vector<EncodedMessage> replies_;
    nb::object failure_;  // raised after replies_
};

}  // namespace tarvex::kernel
