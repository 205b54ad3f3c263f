// EnergyTalvane.compute_keep_mask and compute_keep_mask_array: convert, analyse, convert back.
#include "objects.hpp"

#include "analysis/keep_mask.hpp"
#include "convert/bind.hpp"
#include "convert/borrow.hpp"
#include "convert/results.hpp"
#include "convert/values.hpp"

namespace talvane {

namespace {

constexpr py::Params<2> kMask{"EnergyTalvane.compute_keep_mask()", {"data", "sample_rate"}, true};
constexpr py::Params<2> kMaskArray{"EnergyTalvane.compute_keep_mask_array()", {"data", "sample_rate"}, true};

}  // namespace

PyObject* EnergyTalvane_compute_keep_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return py::boundary("EnergyTalvane.compute_keep_mask", [&] {
        auto arg = py::bind(kMask, args, nargs, kwnames);
        py::SharedBorrow<EnergyTalvaneObject> gate(self);
        std::vector<float> data = py::to_float_vector(arg[0].get(), "data");
        std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
        return py::bool_list(compute_keep_mask_inner(gate->config, data, rate));
    });
}

PyObject* EnergyTalvane_compute_keep_mask_array(PyObject* self, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("EnergyTalvane.compute_keep_mask_array", [&] {
        auto arg = py::bind(kMaskArray, args, nargs, kwnames);
        py::SharedBorrow<EnergyTalvaneObject> gate(self);
        py::FloatArray data = py::to_float_array(arg[0].get(), "data");
        std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
        return py::bool_array(compute_keep_mask_inner(gate->config, data.samples(), rate));
    });
}

}  // namespace talvane
