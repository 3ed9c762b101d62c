#include "kernel/transport/prepared_replies.hpp"

#include "kernel/transport/outbox.hpp"

namespace tarvex::kernel {

void PreparedReplies::add(nb::handle message) {
    if (!stopped())
        replies_.push_back(encode_message(message));
}

Coro PreparedReplies::send(nb::object self, std::shared_ptr<const PreparedReplies> replies) {
    for (const EncodedMessage &reply : replies->replies_) co_await send_encoded(self, reply);
    if (replies->failure_.is_valid())
        raise(replies->failure_);
    co_return nb::none();
}

void PreparedReplies::post(nb::handle self) const {
    for (const EncodedMessage &reply : replies_) {
        if (reply.failure.is_valid())
            raise(reply.failure);  // where send_message would have raised it
        post_encoded(self, reply);
    }
    if (failure_.is_valid())
        raise(failure_);
}

}  // namespace tarvex::kernel
