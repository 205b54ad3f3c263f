// talvane_rs._analysis.Stream: its object layout, and adding its class and Event
// to the module (stream_methods.cpp).
#pragma once

#include "convert/ref.hpp"

#include <atomic>
#include <cstdint>
#include <optional>

#include "analysis/band_filter.hpp"
#include "config.hpp"
#include "method_table.hpp"
#include "streaming/live_stream.hpp"

namespace talvane {

struct StreamObject {
    PyObject_HEAD
    std::atomic<std::intptr_t> borrow;  // 0 free, n > 0 shared by n calls, -1 exclusive
    GateConfig config;
    std::uint64_t sample_rate;      // Hz, fixed at construction
    std::optional<BandEdges> band;  // the edges resolved for the rate; none without a band
    LiveState live;
    py::Ref on_event;  // the callable given, or none
    py::Ref events;    // the last call's events, a tuple
    static PyTypeObject* type() noexcept;  // NULL before the class exists
    static constexpr py::Text kName = "Stream";
};

// Makes the Stream class and the Event named tuple (once per process) and adds them
// to the module.
void add_stream_class(PyObject* module);

}  // namespace talvane
