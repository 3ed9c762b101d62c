#include "kernel/execution/output_routing.hpp"

#include <algorithm>
#include <vector>

#include "common/errors.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel::output {

struct ActiveRun {
    nb::object streams[2];
};

namespace {

// All state below is only touched with the GIL held.
std::vector<ActiveRun *> active_runs;       // in start order
PyObject *outside[2] = {nullptr, nullptr};  // owned while runs are active
thread_local std::vector<ActiveRun *> thread_runs;
PyObject *stream_capture_type = nullptr;
PyObject *routed_stream_name = nullptr;  // "_routed_stream"

PyObject *sys_name(Stream stream) { return stream == Stream::out ? names::stdout_ : names::stderr_; }

nb::object sys_stream(Stream stream) { return nb::handle(refs.sys).attr(sys_name(stream)); }

void set_sys_stream(Stream stream, PyObject *value) {
    if (PyObject_SetAttr(refs.sys, sys_name(stream), value) < 0)
        throw nb::python_error();
}

// Which stream a capture was registered for by a run, remembered on the
// capture so that it can still be routed after its run has ended.
bool routed_stream_of(PyObject *capture, Stream *stream) {
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(capture, routed_stream_name, &value) < 0) {
        PyErr_Clear();
        return false;
    }
    if (!value)
        return false;
    *stream = value == names::stderr_ ? Stream::err : Stream::out;
    Py_DECREF(value);
    return true;
}

void mark_routed(nb::handle capture, Stream stream) {
    if (is_stream_capture(capture) &&
        PyObject_SetAttr(capture.ptr(), routed_stream_name, sys_name(stream)) < 0)
        throw nb::python_error();
}

}  // namespace

void set_stream_capture_type(nb::handle cls) {
    stream_capture_type = cls.inc_ref().ptr();
    routed_stream_name = PyUnicode_InternFromString("_routed_stream");
}

bool is_stream_capture(nb::handle obj) {
    return stream_capture_type &&
           PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject *>(stream_capture_type));
}

RunRedirect::RunRedirect(nb::handle out, nb::handle err) {
    mark_routed(out, Stream::out);
    mark_routed(err, Stream::err);
    if (active_runs.empty()) {
        nb::object saved_out = sys_stream(Stream::out), saved_err = sys_stream(Stream::err);
        outside[0] = saved_out.release().ptr();
        outside[1] = saved_err.release().ptr();
    }
    run_ = new ActiveRun{{nb::borrow(out), nb::borrow(err)}};
    active_runs.push_back(run_);
    thread_runs.push_back(run_);
    if (PyObject_SetAttr(refs.sys, names::stdout_, out.ptr()) < 0 ||
        PyObject_SetAttr(refs.sys, names::stderr_, err.ptr()) < 0)
        PyErr_WriteUnraisable(nullptr);
}

RunRedirect::~RunRedirect() {
    ErrorStash stash;
    auto forget = [this](std::vector<ActiveRun *> &runs) {
        auto it = std::find(runs.rbegin(), runs.rend(), run_);
        if (it != runs.rend())
            runs.erase(std::next(it).base());
    };
    forget(thread_runs);
    bool was_active = std::find(active_runs.begin(), active_runs.end(), run_) != active_runs.end();
    forget(active_runs);
    if (was_active) {
        if (active_runs.empty()) {
            PyObject *out = std::exchange(outside[0], nullptr);
            PyObject *err = std::exchange(outside[1], nullptr);
            if (out && PyObject_SetAttr(refs.sys, names::stdout_, out) < 0)
                PyErr_WriteUnraisable(nullptr);
            if (err && PyObject_SetAttr(refs.sys, names::stderr_, err) < 0)
                PyErr_WriteUnraisable(nullptr);
            Py_XDECREF(out);
            Py_XDECREF(err);
        } else {
            ActiveRun *latest = active_runs.back();
            if (PyObject_SetAttr(refs.sys, names::stdout_, latest->streams[0].ptr()) < 0 ||
                PyObject_SetAttr(refs.sys, names::stderr_, latest->streams[1].ptr()) < 0)
                PyErr_WriteUnraisable(nullptr);
        }
    }
    delete run_;
}

nb::object capture_target(nb::handle self) {
    Stream stream = Stream::out;
    bool active = false;
    for (ActiveRun *run : active_runs) {
        if (run->streams[0].is(self) || run->streams[1].is(self)) {
            if (!thread_runs.empty() && thread_runs.back() == run)
                return nb::borrow(self);
            stream = run->streams[0].is(self) ? Stream::out : Stream::err;
            active = true;
            break;
        }
    }
    // Not part of an active run: a capture of its own, or one kept from a
    // run that has ended (by a logging handler, say), which now follows the
    // writing thread like the process streams do.
    if (!active && !routed_stream_of(self.ptr(), &stream))
        return nb::borrow(self);
    if (!thread_runs.empty())
        return thread_runs.back()->streams[static_cast<int>(stream)];
    if (active)
        return nb::borrow(outside[static_cast<int>(stream)]);
    PyObject *current = PyObject_GetAttr(refs.sys, sys_name(stream));
    if (!current) {
        PyErr_Clear();
        return nb::borrow(self);
    }
    return nb::steal(current);
}

nb::object thread_capture(Stream stream) {
    if (thread_runs.empty())
        return nb::object();
    return thread_runs.back()->streams[static_cast<int>(stream)];
}

void install_process_streams(nb::handle out, nb::handle err) {
    if (active_runs.empty()) {
        set_sys_stream(Stream::out, out.ptr());
        set_sys_stream(Stream::err, err.ptr());
        return;
    }
    Py_XSETREF(outside[0], out.inc_ref().ptr());
    Py_XSETREF(outside[1], err.inc_ref().ptr());
}

}  // namespace tarvex::kernel::output
