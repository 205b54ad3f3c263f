// StreamingEnergyTalvane methods: process_chunk commits its state only after the result exists.
#include "objects.hpp"

#include "convert/bind.hpp"
#include "convert/borrow.hpp"
#include "convert/results.hpp"
#include "convert/values.hpp"
#include "streaming/stream_state.hpp"

namespace talvane {

namespace {

constexpr py::Params<3> kProcessChunk{"StreamingEnergyTalvane.process_chunk()",
                                      {"data", "sample_rate", "is_last"}, true};

}  // namespace

PyObject* StreamingEnergyTalvane_process_chunk(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("StreamingEnergyTalvane.process_chunk", [&] {
        auto arg = py::bind(kProcessChunk, args, nargs, kwnames);
        py::ExclusiveBorrow<StreamingEnergyTalvaneObject> gate(self);
        py::FloatArray data = py::to_float_array(arg[0].get(), "data");
        std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
        bool is_last = py::to_bool(arg[2].get(), "is_last");
        std::span<const float> chunk = data.samples();
        ChunkPlan plan = plan_chunk(gate->config, gate->state, chunk, rate, is_last);
        reserve_context(gate->state, plan);
        py::Ref result = py::float_array(std::move(plan.output));
        commit_chunk(gate->state, plan, chunk);
        return result;
    });
}

PyObject* StreamingEnergyTalvane_reset(PyObject* self, PyObject*) {
    return py::boundary("StreamingEnergyTalvane.reset", [&] {
        py::ExclusiveBorrow<StreamingEnergyTalvaneObject> gate(self);
        reset_stream(gate->state);
        return py::none();
    });
}

PyObject* StreamingEnergyTalvane_context_len(PyObject* self, PyObject*) {
    return py::boundary("StreamingEnergyTalvane.context_len", [&] {
        py::SharedBorrow<StreamingEnergyTalvaneObject> gate(self);
        return py::unsigned_int(gate->state.context.size());
    });
}

PyObject* StreamingEnergyTalvane_last_gain(PyObject* self, PyObject*) {
    return py::boundary("StreamingEnergyTalvane.last_gain", [&] {
        py::SharedBorrow<StreamingEnergyTalvaneObject> gate(self);
        return py::optional_float(gate->state.last_gain);
    });
}

}  // namespace talvane
