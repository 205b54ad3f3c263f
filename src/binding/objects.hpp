// The two gate object layouts, their class objects and their method tables.
#pragma once

#include "convert/ref.hpp"

#include <atomic>
#include <cstdint>

#include "config.hpp"
#include "method_table.hpp"
#include "streaming/stream_state.hpp"

namespace talvane {

struct EnergyTalvaneObject {
    PyObject_HEAD
    std::atomic<std::intptr_t> borrow;  // 0 free, n > 0 shared by n calls, -1 exclusive
    GateConfig config;
    static PyTypeObject* type() noexcept;  // NULL before the class exists
    static constexpr py::Text kName = "EnergyTalvane";
};

struct StreamingEnergyTalvaneObject {
    PyObject_HEAD
    std::atomic<std::intptr_t> borrow;
    GateConfig config;
    StreamState state;
    static PyTypeObject* type() noexcept;
    static constexpr py::Text kName = "StreamingEnergyTalvane";
};

extern PyMethodDef energy_methods[];     // energy_methods.cpp
extern PyMethodDef streaming_methods[];  // streaming_methods.cpp

}  // namespace talvane
