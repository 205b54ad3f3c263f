// StreamingEnergyTalvane's methods: process_chunk commits its state only after the result exists.
#include "objects.hpp"

#include "convert/borrow.hpp"
#include "convert/results.hpp"
#include "convert/values.hpp"
#include "lent_buffers.hpp"
#include "method_table.hpp"
#include "streaming/stream_state.hpp"

namespace talvane {

namespace {

constexpr auto kType = StreamingEnergyTalvaneObject::kName;
using ProcessChunk = py::Method<kType, "process_chunk", "data", "sample_rate", "is_last">;

py::Ref process_chunk(PyObject* self, std::array<py::Ref, 3>& arg) {
    py::ExclusiveBorrow<StreamingEnergyTalvaneObject> gate(self);
    py::FloatArray data = py::to_float_array(arg[0].get(), "data");
    std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
    bool is_last = py::to_bool(arg[2].get(), "is_last");
    std::span<const float> chunk = data.samples();
    LentBuffers buffers(gate->state);
    ChunkPlan plan = plan_chunk(gate->config, gate->state, chunk, rate, is_last);
    reserve_context(gate->state, plan);
    py::Ref result = py::float_array(std::move(plan.output));
    commit_chunk(gate->state, plan, chunk);
    return result;
}

py::Ref reset(PyObject* self) {
    py::ExclusiveBorrow<StreamingEnergyTalvaneObject> gate(self);
    reset_stream(gate->state);
    return py::none();
}

py::Ref context_len(PyObject* self) {
    py::SharedBorrow<StreamingEnergyTalvaneObject> gate(self);
    return py::unsigned_int(gate->state.context.size());
}

py::Ref last_gain(PyObject* self) {
    py::SharedBorrow<StreamingEnergyTalvaneObject> gate(self);
    return py::optional_float(gate->state.last_gain);
}

}  // namespace

PyMethodDef streaming_methods[] = {
    py::fast_method<ProcessChunk, process_chunk>(),
    py::noargs_method<py::NoArgs<kType, "reset">, reset>(),
    py::noargs_method<py::NoArgs<kType, "context_len">, context_len>(),
    py::noargs_method<py::NoArgs<kType, "last_gain">, last_gain>(),
    py::kEndOfMethods,
};

}  // namespace talvane
