// KernelStreamHook: sys.stdout/sys.stderr while the kernel is connected.
// Output made outside any request is echoed on the stream the hook replaced
// and sent to the Business Layer; output of a thread that runs a request
// belongs to that request.
#include "common/args.hpp"
#include "kernel/execution/output_routing.hpp"
#include "kernel/execution/stream_classes.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/messages.hpp"
#include "kernel/support/py_class.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

PyObject *hook_class = nullptr;

void init(nb::handle self, nb::object stream_type, nb::handle send_callback) {
    require_str(stream_type, "stream_type");
    self.attr(names::stream_type) = stream_type;
    self.attr(names::send_callback) = send_callback;
    bool is_stdout = PyUnicode_Compare(stream_type.ptr(), names::stdout_) == 0;
    self.attr(names::_original_stream) =
        nb::handle(refs.sys).attr(is_stdout ? names::stdout_ : names::stderr_);
}

void ignore_exception(const auto &action) {
    try {
        action();
    } catch (...) {
        catch_exception();
    }
}

nb::object write(nb::handle self, nb::object text) {
    require_str(text, "text");
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (length == 0)
        return nb::int_(0);

    nb::object stream_type = self.attr(names::stream_type);
    bool is_stdout =
        PyUnicode_Check(stream_type.ptr()) && PyUnicode_Compare(stream_type.ptr(), names::stdout_) == 0;
    if (nb::object capture = output::thread_capture(is_stdout ? output::Stream::out : output::Stream::err);
        capture.is_valid()) {
        capture.attr(names::write)(text);
        return nb::int_(length);
    }

    nb::object original = self.attr(names::_original_stream);
    ignore_exception([&] {
        original.attr(names::write)(text);
        original.attr(names::flush)();
    });
    nb::object send_callback = self.attr(names::send_callback);
    if (truthy(send_callback)) {
        try {
            send_callback(stream_type, text);
        } catch (...) {
            nb::object error = catch_exception();
            ignore_exception([&] {
                std::string line = "[KernelStreamHook Error] " + text_of(error) + "\n";
                original.attr(names::write)(nb::str(line.data(), line.size()));
            });
        }
    }
    return nb::int_(length);
}

}  // namespace

nb::object new_kernel_stream_hook(const char *stream_type, nb::handle send_callback) {
    return nb::handle(hook_class)(stream_type, send_callback);
}

void define_kernel_stream_hook(nb::module_ &m) {
    nb::object text_io_base = nb::module_::import_("io").attr("TextIOBase");
    nb::object cls =
        ClassBuilder(m, "KernelStreamHook", nb::make_tuple(text_io_base))
            .doc("Replaces sys.stdout/sys.stderr while connected: echoes each write and sends it on.")
            .method("__init__", &init, nb::arg("stream_type").none(), nb::arg("send_callback").none())
            .method("write", &write, nb::arg("text").none())
            .method("flush",
                    [](nb::handle self) {
                        ignore_exception([&] { self.attr(names::_original_stream).attr(names::flush)(); });
                    })
            .method("readable", [](nb::handle) { return false; })
            .method("writable", [](nb::handle) { return true; })
            .finish();
    hook_class = cls.inc_ref().ptr();
}

}  // namespace tarvex::kernel
