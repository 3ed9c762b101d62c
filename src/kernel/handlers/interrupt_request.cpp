// interrupt_request: stops the run of the request it names (support/
// interrupts.hpp).
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/interrupts.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/outbox.hpp"

namespace tarvex::kernel {

// An interrupt is answered at once, in a lane of its own so that it never
// waits behind the output of the request it stops; a queued run it takes
// out of its queue answers right after.
void on_interrupt_request(nb::handle self, nb::handle message) {
    nb::object request_id = get(message, names::request_id);
    if (!PyUnicode_Check(request_id.ptr())) {
        log().warning("[Kernel] Received interrupt_request without request_id");
        post_message(self,
                     make_message({{names::type, nb::str("error")},
                                   {names::message, nb::str("interrupt_request requires request_id")}}));
        return;
    }
    log().info("[Kernel] Received interrupt_request for request_id: ", request_id);
    nb::dict reply = make_message({{names::type, nb::str("interrupt_reply")},
                                   {names::request_id, request_id},
                                   {names::interrupted, Py_False},
                                   {names::workbook_id, kernel_state(self).workbook_id}});
    EncodedMessage answer;
    bool interrupted = interrupt(request_id, [&](bool any) {
        reply[names::interrupted] = nb::bool_(any);
        answer = encode_message(reply);
        answer.lane = "interrupt";
        post_encoded(self, std::move(answer));
    });
    log().info("[Kernel] interrupt_request for request_id: ", request_id,
               interrupted ? " interrupted it" : " found nothing running");
}

}  // namespace tarvex::kernel
