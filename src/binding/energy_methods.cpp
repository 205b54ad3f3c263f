// EnergyTalvane's methods: bind, borrow, convert, run the core, convert back.
#include "objects.hpp"

#include "analysis/keep_mask.hpp"
#include "batch/compact.hpp"
#include "batch/gain.hpp"
#include "convert/borrow.hpp"
#include "convert/results.hpp"
#include "convert/values.hpp"
#include "method_table.hpp"

namespace talvane {

namespace {

template <py::Text Name>
using DataRateMethod = py::Method<EnergyTalvaneObject::kName, Name, "data", "sample_rate">;
using Arguments = std::array<py::Ref, 2>;
using Borrowed = py::SharedBorrow<EnergyTalvaneObject>;

py::Ref compute_keep_mask(PyObject* self, Arguments& arg) {
    Borrowed gate(self);
    std::vector<float> data = py::to_float_vector(arg[0].get(), "data");
    std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
    return py::bool_list(compute_keep_mask_inner(gate->config, data, rate));
}

py::Ref compute_keep_mask_array(PyObject* self, Arguments& arg) {
    Borrowed gate(self);
    py::FloatArray data = py::to_float_array(arg[0].get(), "data");
    std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
    return py::bool_array(compute_keep_mask_inner(gate->config, data.samples(), rate));
}

using Operation = SampleBuffer (*)(const GateConfig&, std::span<const float>, std::uint64_t);

// List in, list out.
template <Operation op>
py::Ref list_method(PyObject* self, Arguments& arg) {
    Borrowed gate(self);
    std::vector<float> data = py::to_float_vector(arg[0].get(), "data");
    std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
    return py::float_list(op(gate->config, data, rate));
}

// Array in (read in place), new array out.
template <Operation op>
py::Ref array_method(PyObject* self, Arguments& arg) {
    Borrowed gate(self);
    py::FloatArray data = py::to_float_array(arg[0].get(), "data");
    std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
    return py::float_array(op(gate->config, data.samples(), rate));
}

}  // namespace

PyMethodDef energy_methods[] = {
    py::fast_method<DataRateMethod<"compute_keep_mask">, compute_keep_mask>(),
    py::fast_method<DataRateMethod<"compute_keep_mask_array">, compute_keep_mask_array>(),
    py::fast_method<DataRateMethod<"apply_array">, list_method<apply_array_inner>>(),
    py::fast_method<DataRateMethod<"apply_array_np">, array_method<apply_array_np_inner>>(),
    py::fast_method<DataRateMethod<"compact_array">, list_method<compact_array_inner>>(),
    py::fast_method<DataRateMethod<"compact_array_np">, array_method<compact_array_inner>>(),
    py::kEndOfMethods,
};

}  // namespace talvane
