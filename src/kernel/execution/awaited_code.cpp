#include "kernel/execution/awaited_code.hpp"

#include <memory>

#include "common/coro.hpp"
#include "common/errors.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

// The exception that left the user's code, with its traceback at that point.
struct Escaped {
    nb::object exception;
    nb::object traceback;
};

nb::object evaluate(nb::handle code, nb::handle globals, nb::handle locals) {
    return owned(PyEval_EvalCode(code.ptr(), globals.ptr(), locals.ptr()));
}

Coro run_steps(std::vector<CodeStep> steps, nb::object globals, nb::object locals,
               std::shared_ptr<Escaped> escaped) {
    nb::object value = nb::none();
    try {
        for (CodeStep &step : steps) {
            if (step.failure.is_valid())
                raise(step.failure);
            value = evaluate(step.code, globals, locals);
            if (step.awaited)
                value = co_await value;
        }
    } catch (nb::python_error &e) {
        escaped->exception = nb::borrow(e.value());
        escaped->traceback = nb::steal(PyException_GetTraceback(e.value().ptr()));
        throw;
    }
    co_return value;
}

}  // namespace

bool awaits_at_top_level(nb::handle code) {
    return PyCode_Check(code.ptr()) &&
           (reinterpret_cast<PyCodeObject *>(code.ptr())->co_flags & CO_COROUTINE);
}

nb::object run_on_own_loop(std::vector<CodeStep> steps, nb::handle globals, nb::handle locals) {
    nb::module_ asyncio = nb::module_::import_("asyncio");
    // With a loop factory the runner leaves the thread's event loop alone.
    nb::object runner = asyncio.attr("Runner")(nb::arg("loop_factory") = asyncio.attr("new_event_loop"));
    auto escaped = std::make_shared<Escaped>();
    nb::object value;
    try {
        value = runner.attr("run")(
            run_steps(std::move(steps), nb::borrow(globals), nb::borrow(locals), escaped).object());
    } catch (nb::python_error &e) {
        if (escaped->exception.is(e.value()))
            PyException_SetTraceback(e.value().ptr(),
                                     escaped->traceback.is_valid() ? escaped->traceback.ptr() : Py_None);
        try {
            runner.attr("close")();
        } catch (nb::python_error &) {
            // The code's own failure is the one to report.
        }
        throw;
    }
    runner.attr("close")();
    return value;
}

}  // namespace tarvex::kernel
