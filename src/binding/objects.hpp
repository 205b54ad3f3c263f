// The two gate object layouts, their class objects and the method entry points.
#pragma once

#include "convert/ref.hpp"

#include <atomic>
#include <cstdint>

#include "config.hpp"
#include "streaming/stream_state.hpp"

namespace talvane {

struct EnergyTalvaneObject {
    PyObject_HEAD
    std::atomic<std::intptr_t> borrow;  // 0 free, n > 0 shared by n calls, -1 exclusive
    GateConfig config;
    static PyTypeObject* type() noexcept;  // NULL before the class exists
    static constexpr const char* kName = "EnergyTalvane";
};

struct StreamingEnergyTalvaneObject {
    PyObject_HEAD
    std::atomic<std::intptr_t> borrow;
    GateConfig config;
    StreamState state;
    static PyTypeObject* type() noexcept;
    static constexpr const char* kName = "StreamingEnergyTalvane";
};

PyObject* EnergyTalvane_compute_keep_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);
PyObject* EnergyTalvane_compute_keep_mask_array(PyObject* self, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames);
PyObject* EnergyTalvane_apply_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* EnergyTalvane_apply_array_np(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
PyObject* EnergyTalvane_compact_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);
PyObject* EnergyTalvane_compact_array_np(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
PyObject* StreamingEnergyTalvane_process_chunk(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames);
PyObject* StreamingEnergyTalvane_reset(PyObject* self, PyObject* unused);
PyObject* StreamingEnergyTalvane_context_len(PyObject* self, PyObject* unused);
PyObject* StreamingEnergyTalvane_last_gain(PyObject* self, PyObject* unused);

}  // namespace talvane
