// One run's output: a StreamCapture per stream, installed as the calling
// thread's sys.stdout/sys.stderr (see output_routing.hpp) until end() or
// destruction. Each write is handed to the stream's callback and, unless
// the run keeps nothing (a live stream), kept.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

#include "kernel/execution/output_routing.hpp"

namespace tarvex::kernel {

namespace nb = nanobind;

class CapturedOutput {
public:
    enum class Keep { text, nothing };

    CapturedOutput(nb::handle stdout_callback, nb::handle stderr_callback, Keep keep = Keep::text);
    CapturedOutput(const CapturedOutput &) = delete;
    CapturedOutput &operator=(const CapturedOutput &) = delete;

    // Puts the streams back; the captured text stays readable.
    void end() { redirect_.reset(); }

    nb::object stdout_text() const;
    nb::object stderr_text() const;
    nb::object logs() const;  // stdout text followed by stderr text ("" when nothing is kept)

private:
    nb::object out_, err_;
    std::optional<output::RunRedirect> redirect_;
};

}  // namespace tarvex::kernel
