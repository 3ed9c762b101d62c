// custom_function_call: a function of a workbook module computing a cell,
// called on a worker thread with its arguments decoded from wire values and
// its output streamed. Answered with result_output, execution_result (or
// execution_error) and function_execution_result. The editor's run command
// ends up here too (run_module.cpp).
#include "common/args.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/runtime/python_kernel.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/prepared_replies.hpp"
#include "kernel/transport/wire_text.hpp"

namespace tarvex::kernel {

namespace {

struct Call {
    nb::object module_name, function_name, args, request_id, workbook_id, source;

    explicit Call(nb::handle message)
        : module_name(get(message, names::module_name, nb::str(""))),
          function_name(get(message, names::function_name, nb::str(""))),
          args(get(message, names::args, nb::list())),
          request_id(get(message, names::request_id)),
          workbook_id(get(message, names::workbook_id)),
          source(get(message, names::source, nb::str("addin"))) {}
};

// The validation and kernel-failure replies: the error record goes out in
// execution_error, then in function_execution_result.
Coro send_error(nb::object self, Call call, nb::object error_type, nb::object error_msg,
                nb::object traceback_str) {
    nb::dict record = error_record(error_type, error_msg, traceback_str);
    co_await send_message(self, make_message({{names::type, nb::str("execution_error")},
                                              {names::success, Py_False},
                                              {names::error, record},
                                              {names::request_id, call.request_id},
                                              {names::module_name, call.module_name},
                                              {names::function_name, call.function_name},
                                              {names::workbook_id, call.workbook_id},
                                              {names::source, call.source}}));
    co_await send_message(self, make_message({{names::type, nb::str("function_execution_result")},
                                              {names::request_id, call.request_id},
                                              {names::status, nb::str("error")},
                                              {names::error, record}}));
    co_return nb::none();
}

// The module's function, or the ImportError/AttributeError the add-in is
// shown.
nb::object find_function(nb::handle module_name, nb::handle function_name) {
    import_user_module(module_name);
    nb::object module = loaded_module(module_name);
    if (!module.is_valid()) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%S' not found in sys.modules. Make sure the module has been synced via "
                     "update_module.",
                     module_name.ptr());
        throw nb::python_error();
    }
    if (!has_attribute(module, function_name)) {
        PyErr_Format(PyExc_AttributeError, "Function '%S' not found in module '%S'", function_name.ptr(),
                     module_name.ptr());
        throw nb::python_error();
    }
    return module.attr(function_name);
}

// The JSON text of the result's wire value. A generator is run to its end
// here, on the worker: the cell gets the list of everything it yielded.
nb::bytes wire_result(nb::handle value) {
    if (!PyGen_Check(value.ptr()))
        return wire_text(value);
    std::vector<nb::bytes> items;
    nb::object iterator = nb::borrow(value);
    while (PyObject *item = PyIter_Next(iterator.ptr())) items.push_back(wire_text(nb::steal(item)));
    if (PyErr_Occurred())
        throw nb::python_error();
    return wire_list_text(items);
}

// The worker (execute_function): everything the user's code raises becomes
// the outcome, its traceback printed to the request's stderr.
nb::dict execute_function(nb::handle self, const Call &call, CapturedOutput &output) {
    log().debug(worker_prefix(), "Executing custom function: ", call.module_name, ".", call.function_name);
    try {
        nb::object func = find_function(call.module_name, call.function_name);
        nb::object value = call_with(func, deserialize_args(self, call.args));
        nb::bytes result = wire_result(value);
        return make_message({{names::status, nb::str("success")},
                             {names::result, result},
                             {names::base_result, value},
                             {names::logs, output.logs()}});
    } catch (...) {
        nb::object e = catch_any();
        print_exception(e);
        return make_message({{names::status, nb::str("error")},
                             {names::result, Py_None},
                             {names::logs, output.logs()},
                             {names::error, extract_tracebak_string(e)}});
    }
}

// The replies of a finished call, made on the worker (see
// prepared_replies.hpp). The result's text is in both messages, encoded
// once.
void prepare_replies(PreparedReplies &replies, const Call &call, nb::handle outcome) {
    replies.prepare([&](PreparedReplies &out) {
        nb::object logs = get(outcome, names::logs, nb::str(""));
        if (get(outcome, names::status).equal(nb::str("success"))) {
            nb::object text = get(outcome, names::result);
            nb::object result = wire_field(text);
            if (!is_null_text(text))
                out.add(make_message({{names::type, nb::str("result_output")},
                                      {names::content, out_line(get(outcome, names::base_result))},
                                      {names::request_id, call.request_id},
                                      {names::workbook_id, call.workbook_id},
                                      {names::source, call.source}}));
            out.add(make_message({{names::type, nb::str("execution_result")},
                                  {names::success, Py_True},
                                  {names::result, result},
                                  {names::logs, logs},
                                  {names::request_id, call.request_id},
                                  {names::module_name, call.module_name},
                                  {names::function_name, call.function_name},
                                  {names::workbook_id, call.workbook_id},
                                  {names::source, call.source}}));
            out.add(make_message({{names::type, nb::str("function_execution_result")},
                                  {names::request_id, call.request_id},
                                  {names::status, nb::str("success")},
                                  {names::result, result},
                                  {names::logs, logs}}));
        } else {
            nb::object error = get(outcome, names::error, nb::str("Unknown error"));
            out.add(make_message({{names::type, nb::str("execution_error")},
                                  {names::success, Py_False},
                                  {names::error, error},
                                  {names::logs, logs},
                                  {names::request_id, call.request_id},
                                  {names::module_name, call.module_name},
                                  {names::function_name, call.function_name},
                                  {names::workbook_id, call.workbook_id},
                                  {names::source, call.source}}));
            out.add(make_message({{names::type, nb::str("function_execution_result")},
                                  {names::request_id, call.request_id},
                                  {names::status, nb::str("error")},
                                  {names::result, Py_None},
                                  {names::logs, logs},
                                  {names::error, error}}));
        }
    });
}

Coro handle_custom_function_call(nb::object self, nb::object message) {
    Call call(message);
    log().info("[Kernel] Received custom_function_call: ", call.module_name, ".", call.function_name,
               " (source=", call.source, ", request_id=", call.request_id, ")");
    if (!truthy(call.module_name)) {
        co_await send_error(self, call, nb::str("ValidationError"), nb::str("Missing module_name"),
                            nb::str(""));
        co_return nb::none();
    }
    if (!truthy(call.function_name)) {
        co_await send_error(self, call, nb::str("ValidationError"), nb::str("Missing function_name"),
                            nb::str(""));
        co_return nb::none();
    }
    log().debug("[Kernel] [Async Task] Dispatching custom_function_call to worker: ", call.module_name, ".",
                call.function_name);

    nb::object failure;
    try {
        RequestRun run(self, call.request_id, call.workbook_id, call.source);
        auto replies = std::make_shared<PreparedReplies>();
        nb::object outcome = co_await run_captured(run, [self, call, replies](CapturedOutput &output) {
            nb::dict outcome = execute_function(self, call, output);
            prepare_replies(*replies, call, outcome);
            drop_user_value(outcome, names::base_result);
            drop_user_value(outcome, names::result);  // its text is in the replies
            return outcome;
        });
        nb::object logs = get(outcome, names::logs, nb::str(""));
        if (truthy(logs))
            log().info("[Kernel] Function logs:\n", logs);
        co_await PreparedReplies::send(self, replies);
        if (get(outcome, names::status).equal(nb::str("success")))
            log().info("[Kernel] Custom function call succeeded: ", call.module_name, ".",
                       call.function_name);
        else
            log().error("[Kernel] Custom function call failed: ", call.module_name, ".", call.function_name);
    } catch (...) {
        failure = catch_exception();
    }
    if (failure.is_valid()) {
        log().error("[Kernel] Unexpected error in _handle_custom_function_call: ", nb::str(failure));
        co_await send_error(self, call, type_name_of(failure), nb::str(failure),
                            extract_tracebak_string(failure));
    }
    co_return nb::none();
}

}  // namespace

nb::object custom_function_call_coroutine(nb::handle self, nb::handle message) {
    require_dict(message, "message");
    return handle_custom_function_call(nb::borrow(self), nb::borrow(message))
        .named("_handle_custom_function_call", "PythonKernel._handle_custom_function_call")
        .object();
}

void define_custom_function_call(ClassBuilder &cls) {
    cls.method("_handle_custom_function_call", &custom_function_call_coroutine, nb::arg("message").none());
}

}  // namespace tarvex::kernel
