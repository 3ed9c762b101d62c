#include "kernel/execution/captured_output.hpp"

#include "kernel/execution/stream_classes.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

CapturedOutput::CapturedOutput(nb::handle stdout_callback, nb::handle stderr_callback, Keep keep)
    : out_(new_stream_capture(stdout_callback, keep == Keep::text)),
      err_(new_stream_capture(stderr_callback, keep == Keep::text)) {
    redirect_.emplace(out_, err_);
}

nb::object CapturedOutput::stdout_text() const { return out_.attr(names::getvalue)(); }
nb::object CapturedOutput::stderr_text() const { return err_.attr(names::getvalue)(); }
nb::object CapturedOutput::logs() const { return stdout_text() + stderr_text(); }

}  // namespace tarvex::kernel
