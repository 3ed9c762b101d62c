#include "kernel/execution/code_executor.hpp"

#include <new>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "kernel/execution/awaited_code.hpp"
#include "kernel/execution/captured_output.hpp"
#include "kernel/execution/tracebacks.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/gc_slots.hpp"
#include "kernel/support/interrupts.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

// Expressions run under "<kernel>"; statements under the interpreter's own
// name for source strings, as exec() of a string would.
const char *const expression_file = "<kernel>";
const char *const statements_file = "<string>";

// The namespace every run starts from: builtins, the user package and the
// workbook's root objects.
nb::dict fresh_globals() {
    nb::object package = module_global(names::tarvex);
    return make_message({
        {names::__builtins__, refs.builtins},
        {names::tarvex, package},
        {names::excel, package.attr(names::excel)},
        {names::context, package.attr(names::context)},
    });
}

// One dict serves as both globals and locals, as at the top level of a
// module: with two, a function defined by user code could not see the names
// the user defined or imported beside it (`import math` then
// `def f(): return math.pi` would raise NameError when f runs).
struct CodeExecutor {
    nb::dict namespace_;  // globals and locals

    int traverse(visitproc visit, void *arg) { return visit_fields(visit, arg, namespace_); }

    void clear() { release_fields(namespace_); }
};

void init(CodeExecutor *self) {
    nb::dict fresh = fresh_globals();
    new (self) CodeExecutor{std::move(fresh)};
}

void reset_namespace(CodeExecutor &self) { self.namespace_ = fresh_globals(); }

nb::object compile(nb::handle code, const char *file, const char *mode, int flags = 0) {
    // dont_inherit: the future flags of whoever happens to be on the stack
    // must not leak into user code.
    return nb::handle(refs.builtin_compile)(code, file, mode, nb::arg("flags") = flags,
                                            nb::arg("dont_inherit") = true);
}

nb::object evaluate(nb::handle code_object, nb::handle globals, nb::handle locals) {
    PyObject *value = PyEval_EvalCode(code_object.ptr(), globals.ptr(), locals.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// The code object of `code`, or an invalid object when it does not compile
// in `mode`.
nb::object compile_or_null(nb::handle code, const char *file, const char *mode, int flags = 0) {
    try {
        return compile(code, file, mode, flags);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SyntaxError))
            throw;
        return nb::object();
    }
}

// Compiles as Python would; code that compiles only because it awaits at
// top level is marked to run on an event loop. Code that compiles neither
// way raises the error of the plain compile.
CodeStep compile_step(nb::handle code, const char *file, const char *mode) {
    try {
        return CodeStep::plain(compile(code, file, mode));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SyntaxError))
            throw;
        nb::object awaited = compile_or_null(code, file, mode, PyCF_ALLOW_TOP_LEVEL_AWAIT);
        if (!awaited.is_valid() || !awaits_at_top_level(awaited))
            throw;
        return CodeStep::awaiting(awaited);
    }
}

// As compile_step, but a failure is kept for the moment the run reaches it.
CodeStep compile_step_or_failure(nb::handle code, const char *file, const char *mode) {
    try {
        return compile_step(code, file, mode);
    } catch (nb::python_error &e) {
        return CodeStep::failed(nb::borrow(e.value()));
    }
}

// Two top-level statements on one line can only be separated by ";".
bool separated_by_semicolon(nb::handle before, nb::handle last) {
    return before.attr("end_lineno").equal(last.attr("lineno"));
}

// Runs `code` as one expression when it is one; otherwise as the statements
// Python sees in it. When the last top-level statement is an expression that
// a ";" separates from the ones before it, its value is the result
// ("x = 5; x * 2" shows 10). A ";" inside a compound statement, a string or
// a comment is Python's own business, never a split. Code that awaits at
// top level follows the same rules, run on an event loop of its own.
nb::object run(nb::handle code, nb::handle globals, nb::handle locals) {
    if (nb::object expression = compile_or_null(code, expression_file, "eval"); expression.is_valid())
        return evaluate(expression, globals, locals);

    nb::object tree = nb::handle(refs.builtin_compile)(
        code, statements_file, "exec", nb::arg("flags") = PyCF_ONLY_AST, nb::arg("dont_inherit") = true);
    nb::object body = tree.attr("body");
    Py_ssize_t count = PyList_Size(body.ptr());
    if (count < 0)
        throw nb::python_error();
    if (count == 1 &&
        Py_IS_TYPE(PyList_GET_ITEM(body.ptr(), 0), reinterpret_cast<PyTypeObject *>(refs.ast_Expr))) {
        // One expression that only awaiting keeps from compiling: its value
        // is the result, as for any other expression.
        nb::object awaited = compile_or_null(code, expression_file, "eval", PyCF_ALLOW_TOP_LEVEL_AWAIT);
        if (awaited.is_valid() && awaits_at_top_level(awaited))
            return run_on_own_loop({CodeStep::awaiting(awaited)}, globals, locals);
    }
    nb::object last_value;
    if (count >= 2) {
        nb::handle last = PyList_GET_ITEM(body.ptr(), count - 1);
        nb::handle before = PyList_GET_ITEM(body.ptr(), count - 2);
        if (Py_IS_TYPE(last.ptr(), reinterpret_cast<PyTypeObject *>(refs.ast_Expr)) &&
            separated_by_semicolon(before, last)) {
            last_value = last.attr("value");
            if (PyList_SetSlice(body.ptr(), count - 1, count, nullptr) < 0)
                throw nb::python_error();
        }
    }
    std::vector<CodeStep> steps{compile_step(tree, statements_file, "exec")};
    if (last_value.is_valid())
        steps.push_back(
            compile_step_or_failure(nb::handle(refs.ast_Expression)(last_value), expression_file, "eval"));
    for (const CodeStep &step : steps)
        if (step.awaited)
            return run_on_own_loop(std::move(steps), globals, locals);

    nb::object value = nb::none();
    for (const CodeStep &step : steps) {
        if (step.failure.is_valid())
            raise(step.failure);
        value = evaluate(step.code, globals, locals);
    }
    return value;
}

void flush_process_streams() {
    nb::handle sys(refs.sys);
    sys.attr(names::stdout_).attr(names::flush)();
    sys.attr(names::stderr_).attr(names::flush)();
}

nb::dict execute(CodeExecutor &self, nb::object code, nb::handle stdout_callback,
                 nb::handle stderr_callback) {
    require_str(code, "code");
    nb::dict outcome = make_message({{names::success, Py_True},
                                     {names::stdout_, nb::str("")},
                                     {names::stderr_, nb::str("")},
                                     {names::error, Py_None},
                                     {names::result, Py_None}});
    CapturedOutput output(stdout_callback, stderr_callback);
    try {
        // Held for the run: user code may reset the namespace meanwhile.
        nb::dict scope = self.namespace_;
        {
            UserCode user;  // an interrupt of the request lands in here only
            outcome[names::result] = run(code, scope, scope);
        }
        flush_process_streams();
    } catch (...) {
        // Everything user code raises is its outcome, SystemExit included:
        // nothing it does may end the kernel.
        nb::object e = catch_any();
        output.end();
        outcome[names::success] = false;
        outcome[names::error] = error_record(e);
        try {
            flush_process_streams();
        } catch (...) {
            catch_any();
        }
    }
    output.end();
    outcome[names::stdout_] = output.stdout_text();
    outcome[names::stderr_] = output.stderr_text();
    return outcome;
}

}  // namespace

void define_code_executor(nb::module_ &m) {
    nb::class_<CodeExecutor> cls(m, "CodeExecutor", nb::type_slots(GcSlots<CodeExecutor>::slots),
                                 "Runs editor code in a namespace shared by all execution requests.");
    cls.def("__init__", &init);
    cls.def_ro("globals", &CodeExecutor::namespace_);
    cls.def_ro("locals", &CodeExecutor::namespace_);
    cls.def("execute", &execute, nb::arg("code").none(), nb::arg("stdout_callback").none() = nb::none(),
            nb::arg("stderr_callback").none() = nb::none());
    cls.def("reset_namespace", &reset_namespace);
}

}  // namespace tarvex::kernel
