// The text streams of user output: StreamCapture (one request's output) and
// KernelStreamHook (the process streams while connected).
#pragma once

#include <nanobind/nanobind.h>

namespace tarvex::kernel {

namespace nb = nanobind;

void define_stream_capture(nb::module_ &m);
void define_kernel_stream_hook(nb::module_ &m);

// StreamCapture(on_write) and KernelStreamHook(stream_type, send_callback).
// A capture made with keep false forwards every write and keeps none.
nb::object new_stream_capture(nb::handle on_write, bool keep = true);
nb::object new_kernel_stream_hook(const char *stream_type, nb::handle send_callback);

}  // namespace tarvex::kernel
