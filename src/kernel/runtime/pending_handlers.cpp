// Requests of features this kernel does not carry yet (custom functions, run
// module, events, callables, streaming functions).
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

nb::dict unavailable_record(const char *feature) {
    return error_record(nb::str("NotImplementedError"), not_available(feature), nb::str(""));
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

// Custom function calls and (through the same replies) editor runs.
nb::object function_call(nb::handle self, nb::object message, const char *name, const char *feature,
                         const char *default_source, nb::handle default_workbook) {
    require_dict(message, "message");
    nb::dict record = unavailable_record(feature);
    nb::object request_id = get(message, names::request_id);
    nb::dict error = make_message({{names::type, nb::str("execution_error")},
                                   {names::success, Py_False},
                                   {names::error, record},
                                   {names::request_id, request_id},
                                   {names::module_name, get(message, names::module_name, nb::str(""))},
                                   {names::function_name, get(message, names::function_name, nb::str(""))},
                                   {names::workbook_id, get(message, names::workbook_id, default_workbook)},
                                   {names::source, get(message, names::source, nb::str(default_source))}});
    nb::dict result = make_message({{names::type, nb::str("function_execution_result")},
                                    {names::request_id, request_id},
                                    {names::status, nb::str("error")},
                                    {names::error, record}});
    return coroutine(self, name, error, result);
}

}  // namespace

nb::object call_handler(nb::handle self, const char *name, nb::handle message) {
    return self.attr(name)(message);
}

void define_pending_handlers(ClassBuilder &cls) {
    cls.method(
           "_handle_custom_function_call",
           [](nb::handle self, nb::object message) {
               return function_call(self, message, "_handle_custom_function_call", "Custom function calls",
                                    "addin", nb::none());
           },
           nb::arg("message").none())
        .method(
            "_handle_run_module",
            [](nb::handle self, nb::object message) {
                return function_call(self, message, "_handle_run_module", "Running modules", "ide",
                                     nb::str(""));
            },
            nb::arg("message").none())
        .method(
            "_handle_event_execution",
            [](nb::handle self, nb::object message) {
                require_dict(message, "message");
                nb::dict result = make_message(
                    {{names::type, nb::str("event_execution_result")},
                     {names::status, nb::str("error")},
                     {names::logs, nb::str("")},
                     {names::error, not_available("Event handlers")},
                     {names::request_id, get(message, names::request_id)},
                     {names::module_name, get(message, names::module_name, nb::str(""))},
                     {names::function_name, get(message, names::function_name, nb::str(""))},
                     {names::workbook_id, get(message, names::workbook_id, self.attr(names::workbook_id))}});
                return coroutine(self, "_handle_event_execution", result);
            },
            nb::arg("message").none())
        .method(
            "_handle_python_function_call",
            [](nb::handle self, nb::object message) {
                require_dict(message, "message");
                nb::dict result = make_message({{names::type, nb::str("python_function_result")},
                                                {names::success, Py_False},
                                                {names::error, unavailable_record("Python function calls")},
                                                {names::request_id, get(message, names::request_id)},
                                                {names::workbook_id, get(message, names::workbook_id)}});
                return coroutine(self, "_handle_python_function_call", result);
            },
            nb::arg("message").none())
        .method(
            "_execute_streaming_function",
            [](nb::handle self, nb::handle request_id, nb::handle, nb::handle, nb::handle, nb::handle,
               nb::handle) {
                nb::dict result = make_message({{names::type, nb::str("streaming_function_result")},
                                                {names::request_id, request_id},
                                                {names::error, not_available("Streaming functions")},
                                                {names::done, Py_True},
                                                {names::workbook_id, self.attr(names::workbook_id)}});
                return coroutine(self, "_execute_streaming_function", result);
            },
            nb::arg("request_id").none(), nb::arg("module_name").none(), nb::arg("function_name").none(),
            nb::arg("args").none(), nb::arg("workbook_id").none(), nb::arg("source").none());
}

}  // namespace tarvex::kernel
