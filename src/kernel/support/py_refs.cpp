#include "kernel/support/py_refs.hpp"

#include <string>

namespace tarvex::kernel {

Refs refs;

namespace {

PyObject *intern(const char *identifier) {
    std::string text(identifier);
    if (!text.empty() && text.back() == '_' && text.front() != '_')
        text.pop_back();  // stdout_ -> "stdout"
    return interned(text.c_str());
}

PyObject *leak(nb::object obj) { return obj.release().ptr(); }

PyObject *leak_attr(const char *module, const char *attr) {
    return leak(nb::module_::import_(module).attr(attr));
}

}  // namespace

void init_names() {
#define TARVEX_INTERN_NAME(n) names::n = intern(#n);
    TARVEX_KERNEL_NAMES(TARVEX_INTERN_NAME)
#undef TARVEX_INTERN_NAME
}

void init_refs(nb::module_ &module) {
    refs.module = module.ptr();
    refs.module_dict = PyModule_GetDict(module.ptr());
    refs.sys = leak(nb::module_::import_("sys"));
    refs.builtins = leak(nb::module_::import_("builtins"));
    refs.builtins_dict = PyModule_GetDict(refs.builtins);  // lives as long as the module
    refs.builtin_compile = leak_attr("builtins", "compile");
    refs.ast_Expr = leak_attr("ast", "Expr");
    refs.ast_Expression = leak_attr("ast", "Expression");

    refs.get_running_loop = leak_attr("asyncio", "get_running_loop");
    refs.wrap_future = leak_attr("asyncio", "wrap_future");
    refs.create_task = leak_attr("asyncio", "create_task");
    refs.asyncio_sleep = leak_attr("asyncio", "sleep");
    refs.asyncio_Lock = leak_attr("asyncio", "Lock");
    refs.asyncio_Queue = leak_attr("asyncio", "Queue");
    refs.asyncio_QueueEmpty = leak_attr("asyncio", "QueueEmpty");
    refs.CancelledError = leak_attr("asyncio", "CancelledError");

    refs.current_thread = leak_attr("threading", "current_thread");
    refs.threading_Lock = leak_attr("threading", "Lock");
    refs.ThreadPoolExecutor = leak_attr("concurrent.futures", "ThreadPoolExecutor");

    refs.JSONDecodeError = leak_attr("json", "JSONDecodeError");
    refs.format_exception = leak_attr("traceback", "format_exception");
    refs.print_exc = leak_attr("traceback", "print_exc");
    refs.StringIO = leak_attr("io", "StringIO");
    refs.linecache = leak(nb::module_::import_("linecache"));
    refs.ModuleSpec = leak_attr("importlib.machinery", "ModuleSpec");
    refs.re_findall = leak_attr("re", "findall");
    refs.re_search = leak_attr("re", "search");
    refs.re_escape = leak_attr("re", "escape");
}

Py_ssize_t module_size_constant(PyObject *name) {
    nb::object value = module_global(name);
    Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        throw nb::python_error();
    return n;
}

}  // namespace tarvex::kernel
