// EnergyTalvane.apply_array(_np) and compact_array(_np): convert, gate, convert back.
#include "objects.hpp"

#include "batch/compact.hpp"
#include "batch/gain.hpp"
#include "convert/bind.hpp"
#include "convert/borrow.hpp"
#include "convert/results.hpp"
#include "convert/values.hpp"

namespace talvane {

namespace {

constexpr py::Params<2> kApply{"EnergyTalvane.apply_array()", {"data", "sample_rate"}, true};
constexpr py::Params<2> kApplyNp{"EnergyTalvane.apply_array_np()", {"data", "sample_rate"}, true};
constexpr py::Params<2> kCompact{"EnergyTalvane.compact_array()", {"data", "sample_rate"}, true};
constexpr py::Params<2> kCompactNp{"EnergyTalvane.compact_array_np()", {"data", "sample_rate"}, true};

using Operation = SampleBuffer (*)(const GateConfig&, std::span<const float>, std::uint64_t);

// List in, list out.
PyObject* list_method(const char* place, const py::Params<2>& params, Operation op, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary(place, [&] {
        auto arg = py::bind(params, args, nargs, kwnames);
        py::SharedBorrow<EnergyTalvaneObject> gate(self);
        std::vector<float> data = py::to_float_vector(arg[0].get(), "data");
        std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
        return py::float_list(op(gate->config, data, rate));
    });
}

// Array in (read in place), new array out.
PyObject* array_method(const char* place, const py::Params<2>& params, Operation op, PyObject* self,
                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary(place, [&] {
        auto arg = py::bind(params, args, nargs, kwnames);
        py::SharedBorrow<EnergyTalvaneObject> gate(self);
        py::FloatArray data = py::to_float_array(arg[0].get(), "data");
        std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
        return py::float_array(op(gate->config, data.samples(), rate));
    });
}

}  // namespace

PyObject* EnergyTalvane_apply_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return list_method("EnergyTalvane.apply_array", kApply, apply_array_inner, self, args, nargs, kwnames);
}

PyObject* EnergyTalvane_apply_array_np(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return array_method("EnergyTalvane.apply_array_np", kApplyNp, apply_array_np_inner, self, args, nargs,
                        kwnames);
}

PyObject* EnergyTalvane_compact_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return list_method("EnergyTalvane.compact_array", kCompact, compact_array_inner, self, args, nargs,
                       kwnames);
}

PyObject* EnergyTalvane_compact_array_np(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return array_method("EnergyTalvane.compact_array_np", kCompactNp, compact_array_inner, self, args,
                        nargs, kwnames);
}

}  // namespace talvane
