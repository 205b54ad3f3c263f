// talvane_rs._analysis.stream_view and its StreamView class (stream_view_methods.cpp).
#pragma once

#include "convert/ref.hpp"

#include <array>

#include "method_table.hpp"

namespace talvane {

// stream_view(stream): the StreamView of the last analysed call of a
// StreamingEnergyTalvane or a Stream, or None.
using StreamViewFunction = py::Function<"stream_view", "stream">;
py::Ref stream_view(PyObject* module, std::array<py::Ref, 1>& arg);

// Makes the StreamView class (once per process) and adds it to the module.
void add_stream_view_class(PyObject* module);

}  // namespace talvane
