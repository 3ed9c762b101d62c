// StreamCapture: keeps everything one request writes and hands each write to
// the request's callback, which streams it to the Business Layer. A live
// stream's capture keeps nothing (its _buffer is None): it may print for
// hours, and nobody reads its output afterwards.
#include "common/args.hpp"
#include "kernel/execution/output_routing.hpp"
#include "kernel/execution/stream_classes.hpp"
#include "kernel/support/failures.hpp"
#include "kernel/support/py_class.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

PyObject *stream_capture_class = nullptr;

void init(nb::handle self, nb::handle on_write) {
    nb::object buffer = nb::steal(PyObject_CallNoArgs(refs.StringIO));
    if (!buffer.is_valid())
        throw nb::python_error();
    self.attr(names::_buffer) = buffer;
    self.attr(names::_on_write) = on_write;
}

// Appends to this capture and forwards to its callback; a failing callback
// never reaches the writer.
void capture(nb::handle self, nb::handle text) {
    nb::object buffer = self.attr(names::_buffer);
    if (!buffer.is_none())
        buffer.attr(names::write)(text);
    nb::object on_write = self.attr(names::_on_write);
    if (!on_write.is_none() && PyObject_IsTrue(on_write.ptr()) == 1) {
        try {
            on_write(text);
        } catch (...) {
            catch_exception();
        }
    }
    if (PyErr_Occurred())  // a failed truth test of on_write
        PyErr_Clear();
}

nb::object write(nb::handle self, nb::object text) {
    require_str(text, "text");
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (length == 0)
        return nb::int_(0);
    nb::object target = output::capture_target(self);
    if (target.is(self))
        capture(self, text);
    else
        target.attr(names::write)(text);
    return nb::int_(length);
}

nb::object getvalue(nb::handle self) {
    nb::object buffer = self.attr(names::_buffer);
    return buffer.is_none() ? nb::str("") : buffer.attr(names::getvalue)();
}

}  // namespace

nb::object new_stream_capture(nb::handle on_write, bool keep) {
    nb::object capture = nb::handle(stream_capture_class)(on_write);
    if (!keep)
        capture.attr(names::_buffer) = nb::none();
    return capture;
}

void define_stream_capture(nb::module_ &m) {
    nb::object text_io_base = nb::module_::import_("io").attr("TextIOBase");
    nb::object cls = ClassBuilder(m, "StreamCapture", nb::make_tuple(text_io_base))
                         .doc("Collects the output of one request and forwards each write to a callback.")
                         .method(
                             "__init__", [](nb::handle self, nb::handle on_write) { init(self, on_write); },
                             nb::arg("on_write").none() = nb::none())
                         .method("write", &write, nb::arg("text").none())
                         .method("getvalue", &getvalue)
                         .method("flush", [](nb::handle) {})
                         .method("readable", [](nb::handle) { return false; })
                         .method("writable", [](nb::handle) { return true; })
                         .finish();
    stream_capture_class = cls.inc_ref().ptr();
    output::set_stream_capture_type(cls);
}

}  // namespace tarvex::kernel
