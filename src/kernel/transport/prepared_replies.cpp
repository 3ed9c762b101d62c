#include "kernel/transport/prepared_replies.hpp"

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

}  // namespace tarvex::kernel
