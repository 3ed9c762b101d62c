// Requests of features this kernel does not carry yet (the editor's language
// requests).
// Each is answered with the reply its sender waits for, marked as an error
// that says the feature is not available yet: never dropped silently, never
// reported as a success. A feature that lands replaces its method here.
#include <string>

#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

nb::str not_available(const char *feature) {
    std::string text = std::string(feature) + " is not available yet";
    return nb::str(text.data(), text.size());
}

Coro reply(nb::object self, nb::object first, nb::object second) {
    co_await send_message(self, first);
    if (second.is_valid() && !second.is_none())
        co_await send_message(self, second);
    co_return nb::none();
}

nb::object coroutine(nb::handle self, const char *name, nb::dict first, nb::object second = nb::none()) {
    log().warning("[Kernel] ", name, " is not available yet; replying with an error");
    std::string qualname = std::string("PythonKernel.") + name;
    return reply(nb::borrow(self), first, second).named(name, qualname.c_str()).object();
}

nb::object editor_request(nb::handle self, nb::object message, const char *name, const char *response_type,
                          const char *feature, std::initializer_list<Field> result_fields) {
    require_dict(message, "message");
    nb::dict response = make_message({{names::type, nb::str(response_type)}});
    for (const auto &[key, value] : result_fields) response[key] = value;
    response[names::error] = not_available(feature);
    response[names::request_id] = get(message, names::request_id);
    response[names::workbook_id] = get(message, names::workbook_id);
    response[names::module_name] = get(message, names::module_name);
    return coroutine(self, name, response);
}

}  // namespace

nb::object call_handler(nb::handle self, const char *name, nb::handle message) {
    return self.attr(name)(message);
}

void define_pending_handlers(ClassBuilder &cls) {
    cls.method(
           "_handle_completion_request",
           [](nb::handle self, nb::object message) {
               return editor_request(self, message, "_handle_completion_request", "completion_response",
                                     "Completions", {{names::completions, nb::list()}});
           },
           nb::arg("message").none())
        .method(
            "_handle_signature_help_request",
            [](nb::handle self, nb::object message) {
                return editor_request(self, message, "_handle_signature_help_request",
                                      "signature_help_response", "Signature help",
                                      {{names::signatures, nb::list()},
                                       {names::activeSignature, nb::int_(0)},
                                       {names::activeParameter, nb::int_(0)}});
            },
            nb::arg("message").none())
        .method(
            "_handle_hover_request",
            [](nb::handle self, nb::object message) {
                return editor_request(self, message, "_handle_hover_request", "hover_response", "Hover",
                                      {{names::contents, nb::none()}});
            },
            nb::arg("message").none())
        .method(
            "_handle_diagnostic_request",
            [](nb::handle self, nb::object message) {
                return editor_request(self, message, "_handle_diagnostic_request", "diagnostic_response",
                                      "Diagnostics", {{names::diagnostics, nb::list()}});
            },
            nb::arg("message").none());
}

}  // namespace tarvex::kernel
