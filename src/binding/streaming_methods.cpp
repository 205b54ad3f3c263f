// StreamingEnergyTalvane's methods: process_chunk commits its state only after the result exists.
#include "objects.hpp"

#include <memory>

#include "convert/borrow.hpp"
#include "convert/results.hpp"
#include "convert/values.hpp"
#include "method_table.hpp"
#include "streaming/stream_state.hpp"

namespace talvane {

namespace {

constexpr auto kType = StreamingEnergyTalvaneObject::kName;
using ProcessChunk = py::Method<kType, "process_chunk", "data", "sample_rate", "is_last">;

// One set of analysis working buffers for the whole process, lent to the stream a
// call gates: the many streams of a server then share buffers that stay in the
// processor's caches instead of each keeping its own. Calls never overlap, as
// each holds the interpreter lock from start to end.
constinit std::unique_ptr<StreamAnalysis> shared_buffers;

class LentBuffers {
public:
    explicit LentBuffers(StreamState& state) noexcept : state_(state) { state_.spare = std::move(shared_buffers); }
    ~LentBuffers() { shared_buffers = std::move(state_.spare); }
    LentBuffers(const LentBuffers&) = delete;
    LentBuffers& operator=(const LentBuffers&) = delete;

private:
    StreamState& state_;
};

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
