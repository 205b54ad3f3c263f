// The band filter's class and function, for the _analysis module's initialisation.
#pragma once

#include "convert/ref.hpp"

#include <array>

#include "method_table.hpp"

namespace talvane {

// band_filter(samples, sample_rate, low_hz, high_hz): the whole of `samples` filtered
// from a fresh state; an edge of None is absent.
using BandFilterFunction = py::Function<"band_filter", "samples", "sample_rate", "low_hz", "high_hz">;
py::Ref band_filter_function(PyObject* module, std::array<py::Ref, BandFilterFunction::arity>& arg);

// Adds the BandFilter class (made once for the process) to the module.
void add_band_filter_class(PyObject* module);

}  // namespace talvane
