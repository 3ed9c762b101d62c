// The editor's language requests: completion, signature help, hover and
// diagnostics. Each reads its fields on the loop, asks the language services
// (_lexora) on the kernel's one analysis thread (jedi is not thread-safe,
// and a cold analysis takes seconds that the loop must not lose) and
// answers with one response echoing request_id, workbook_id and
// module_name. Requests reach the analysis thread in the order their
// handlers start, and are answered in that order. The analysis reports its
// own failures in the result's "error"; a field of the wrong type raises
// out of the handler with no reply.
#include <functional>
#include <memory>

#include "common/args.hpp"
#include "kernel/execution/worker.hpp"
#include "kernel/handlers/handlers.hpp"
#include "kernel/state/kernel_state.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"
#include "kernel/transport/send_path.hpp"

namespace tarvex::kernel {

namespace {

// The fields every editor request reads, with their defaults.
struct EditorRequest {
    nb::object request_id, code, workbook_id, module_name;

    explicit EditorRequest(nb::handle message)
        : request_id(get(message, names::request_id)),
          code(get(message, names::code, nb::str(""))),
          workbook_id(get(message, names::workbook_id)),
          module_name(get(message, names::module_name)) {}

    // The response: type, the result fields, then error and the echoed ids.
    nb::dict response(const char *type, std::initializer_list<Field> result_fields, nb::handle error) const {
        nb::dict message = make_message({{names::type, nb::str(type)}});
        for (const auto &[key, value] : result_fields) message[key] = value;
        message[names::error] = error;
        message[names::request_id] = request_id;
        message[names::workbook_id] = workbook_id;
        message[names::module_name] = module_name;
        return message;
    }
};

// The cursor position and buffers of completion, signature help and hover.
struct CursorRequest : EditorRequest {
    nb::object line, column, path, dirty_files;

    explicit CursorRequest(nb::handle message)
        : EditorRequest(message),
          line(get(message, names::line, nb::int_(1))),
          column(get(message, names::column, nb::int_(0))),
          path(get(message, names::path)),
          dirty_files(get(message, names::dirty_files)) {}

    // Calls one of the language services' cursor methods with keyword
    // arguments, handing it a copy of the workbook's module sources.
    nb::object ask(nb::handle lexora, PyObject *method) const {
        nb::object source_cache = module_global(names::in_memory_loader).attr(names::source_cache);
        nb::object modules = nb::steal(PyDict_Copy(source_cache.ptr()));
        if (!modules.is_valid())
            throw nb::python_error();
        return lexora.attr(method)(nb::arg("code") = code, nb::arg("line") = line, nb::arg("column") = column,
                                   nb::arg("path") = path, nb::arg("modules") = modules,
                                   nb::arg("dirty_files") = dirty_files);
    }

    // Logs "<what>line=..., column=..., path=..., code_length=...<tail>".
    // The length is taken even when the line is not logged: code without a
    // length is refused here, before the analysis.
    template <typename... Tail>
    void log_position(const char *what, const Tail &...tail) const {
        size_t code_length = nb::len(code);
        log().debug(what, "line=", line, ", column=", column, ", path=", path, ", code_length=", code_length,
                    tail...);
    }
};

// Runs `analysis` on the analysis thread, where the response is also
// encoded, then sends the response. What the analysis raises is raised here.
Coro answer(nb::object self, std::function<nb::dict()> analysis) {
    auto response = std::make_shared<EncodedMessage>();
    nb::object work = nb::cpp_function(
        [analysis = std::move(analysis), response] { *response = encode_message(analysis()); });
    co_await running_loop().attr(names::run_in_executor)(kernel_state(self).analysis_pool, work);
    co_await send_encoded(self, *response);
    co_return nb::none();
}

Coro completion_request(nb::object self, nb::object message) {
    CursorRequest request(message);
    size_t dirty = truthy(request.dirty_files) ? nb::len(request.dirty_files) : 0;
    request.log_position("[LSP] Request received: ", ", dirty_files=", dirty);
    co_await answer(self, [request, lexora = kernel_state(self).lexora] {
        nb::object result = request.ask(lexora, names::get_completions);
        nb::object completions = get(result, names::completions, nb::list());
        nb::object error = get(result, names::error);
        log().debug("[LSP] Response: ", nb::len(completions), " completions, error=", error);
        return request.response("completion_response", {{names::completions, completions}}, error);
    });
    co_return nb::none();
}

Coro signature_help_request(nb::object self, nb::object message) {
    CursorRequest request(message);
    request.log_position("[LSP] Signature help request: ");
    co_await answer(self, [request, lexora = kernel_state(self).lexora] {
        nb::object result = request.ask(lexora, names::get_signature_help);
        nb::object signatures = get(result, names::signatures, nb::list());
        nb::object error = get(result, names::error);
        log().debug("[LSP] Signature help response: ", nb::len(signatures), " signatures, error=", error);
        return request.response("signature_help_response",
                                {{names::signatures, signatures},
                                 {names::activeSignature, get(result, names::activeSignature, nb::int_(0))},
                                 {names::activeParameter, get(result, names::activeParameter, nb::int_(0))}},
                                error);
    });
    co_return nb::none();
}

Coro hover_request(nb::object self, nb::object message) {
    CursorRequest request(message);
    request.log_position("[LSP] Hover request: ");
    co_await answer(self, [request, lexora = kernel_state(self).lexora] {
        nb::object result = request.ask(lexora, names::get_hover);
        nb::object contents = get(result, names::contents);
        nb::object error = get(result, names::error);
        log().debug("[LSP] Hover response: has_contents=", contents.is_none() ? "False" : "True",
                    ", error=", error);
        return request.response("hover_response", {{names::contents, contents}}, error);
    });
    co_return nb::none();
}

Coro diagnostic_request(nb::object self, nb::object message) {
    EditorRequest request(message);
    size_t code_length = nb::len(request.code);
    log().debug("[LSP] Diagnostic request: code_length=", code_length, ", module=", request.module_name);
    co_await answer(self, [request, lexora = kernel_state(self).lexora] {
        nb::object result = lexora.attr(names::get_diagnostics)(nb::arg("code") = request.code,
                                                                nb::arg("module_name") = request.module_name);
        nb::object diagnostics = get(result, names::diagnostics, nb::list());
        nb::object error = get(result, names::error);
        log().debug("[LSP] Diagnostic response: ", nb::len(diagnostics), " diagnostics, error=", error);
        return request.response("diagnostic_response", {{names::diagnostics, diagnostics}}, error);
    });
    co_return nb::none();
}

template <Coro (*handler)(nb::object, nb::object)>
nb::object started(nb::handle self, nb::handle message, const char *name, const char *qualname) {
    require_dict(message, "message");
    return handler(nb::borrow(self), nb::borrow(message)).named(name, qualname).object();
}

}  // namespace

void queue_lexora_call(nb::handle self, PyObject *method, nb::handle argument) {
    KernelState &state = kernel_state(self);
    nb::object lexora = state.lexora;
    if (!truthy(lexora))
        return;
    nb::object call = nb::cpp_function([lexora, method, argument = nb::borrow(argument)] {
        try {
            lexora.attr(method)(argument);
        } catch (...) {
            nb::object e = catch_exception();
            log().warning("[LSP] ", nb::handle(method), " failed: ", nb::str(e));
        }
    });
    try {
        state.analysis_pool.attr(names::submit)(call);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_RuntimeError))  // the kernel is disconnecting: nothing left to analyse
            throw;
    }
}

nb::object completion_request_coroutine(nb::handle self, nb::handle message) {
    return started<completion_request>(self, message, "_handle_completion_request",
                                       "PythonKernel._handle_completion_request");
}

nb::object signature_help_request_coroutine(nb::handle self, nb::handle message) {
    return started<signature_help_request>(self, message, "_handle_signature_help_request",
                                           "PythonKernel._handle_signature_help_request");
}

nb::object hover_request_coroutine(nb::handle self, nb::handle message) {
    return started<hover_request>(self, message, "_handle_hover_request",
                                  "PythonKernel._handle_hover_request");
}

nb::object diagnostic_request_coroutine(nb::handle self, nb::handle message) {
    return started<diagnostic_request>(self, message, "_handle_diagnostic_request",
                                       "PythonKernel._handle_diagnostic_request");
}

void define_editor_requests(ClassBuilder &cls) {
    cls.method("_handle_completion_request", &completion_request_coroutine, nb::arg("message").none());
    cls.method("_handle_signature_help_request", &signature_help_request_coroutine,
               nb::arg("message").none());
    cls.method("_handle_hover_request", &hover_request_coroutine, nb::arg("message").none());
    cls.method("_handle_diagnostic_request", &diagnostic_request_coroutine, nb::arg("message").none());
}

Coro on_set_hover_mode(nb::object self, nb::object message) {
    nb::object mode = get(message, names::mode, nb::str("compact"));
    log().debug("[Kernel] Received set_hover_mode: ", mode);
    nb::object lexora = kernel_state(self).lexora;
    if (!truthy(lexora)) {
        log().warning("[Kernel] Lexora not available for hover mode change");
        co_return nb::none();
    }
    lexora.attr(names::set_hover_mode)(mode);
    co_await send_message(self, make_message({{names::type, nb::str("hover_mode_updated")},
                                              {names::mode, mode},
                                              {names::workbook_id, kernel_state(self).workbook_id}}));
    co_return nb::none();
}

}  // namespace tarvex::kernel
