// run_module: the editor's run command for one function of a workbook
// module. A debug run goes to the debugger (debug_run.cpp); an ordinary run
// is a custom function call with the editor as its source, so it replies
// and streams exactly like one.
#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/handlers/worker_request.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace {

Coro handle_run_module(nb::object self, nb::object message) {
    nb::object workbook_id = get(message, names::workbook_id, nb::str(""));
    nb::object module_name = get(message, names::module_name, nb::str(""));
    nb::object function_name = get(message, names::function_name, nb::str(""));
    nb::object args = get(message, names::args, nb::list());
    nb::object debug = get(message, names::debug, Py_False);
    nb::object breakpoints = get(message, names::breakpoints, nb::list());
    nb::object request_id = get(message, names::request_id);
    nb::object source = get(message, names::source, nb::str("ide"));
    log().info("[Kernel] Received run_module: ", module_name, ".", function_name,
               " (workbook_id=", workbook_id, ", debug=", debug, ", source=", source,
               ", request_id=", request_id, ")");

    if (!truthy(debug)) {
        nb::dict call = make_message({{names::type, nb::str("custom_function_call")},
                                      {names::module_name, module_name},
                                      {names::function_name, function_name},
                                      {names::args, args},
                                      {names::request_id, request_id},
                                      {names::workbook_id, workbook_id},
                                      {names::source, source}});
        co_await awaited_run(submit_custom_function_call(self, call));
        co_return nb::none();
    }

    // The debug run checks its arguments' types before it starts; a field of
    // the wrong type (breakpoints: null, say) is answered, so that the editor
    // does not wait for a run that never began.
    nb::object debug_run, refused;
    try {
        debug_run = debug_run_coroutine(self, module_name, function_name, args, breakpoints, request_id,
                                        workbook_id, source);
    } catch (...) {
        refused = catch_exception();
    }
    if (refused.is_valid()) {
        log().error("[Kernel] Unexpected error in _handle_run_module: ", nb::str(refused));
        co_await send_message(self, make_message({{names::type, nb::str("execution_error")},
                                                  {names::success, Py_False},
                                                  {names::error, error_record(refused)},
                                                  {names::request_id, request_id},
                                                  {names::workbook_id, workbook_id},
                                                  {names::source, source}}));
        co_return nb::none();
    }
    co_await debug_run;
    co_return nb::none();
}

}  // namespace

nb::object run_module_coroutine(nb::handle self, nb::handle message) {
    require_dict(message, "message");
    return handle_run_module(nb::borrow(self), nb::borrow(message))
        .named("_handle_run_module", "PythonKernel._handle_run_module")
        .object();
}

void define_run_module(ClassBuilder &cls) {
    cls.method("_handle_run_module", &run_module_coroutine, nb::arg("message").none());
}

}  // namespace tarvex::kernel
