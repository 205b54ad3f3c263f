// Conversion of the gate parameters into a GateConfig, in table order.
#include "convert/gate_params.hpp"

#include "convert/values.hpp"

namespace talvane::py {

namespace {

void convert(PyObject* value, const char* name, bool& field) { field = to_bool(value, name); }
void convert(PyObject* value, const char* name, std::uint64_t& field) { field = to_unsigned(value, name); }
void convert(PyObject* value, const char* name, float& field) { field = to_float(value, name); }

}  // namespace

GateConfig to_config(std::span<const Ref, kGateParameterCount> args) {
    GateConfig c;
    std::size_t i = 0;
#define TALVANE_CONVERT_PARAMETER(kind, name, value) \
    if (args[i]) convert(args[i].get(), #name, c.name);  \
    ++i;
    TALVANE_GATE_PARAMETERS(TALVANE_CONVERT_PARAMETER)
#undef TALVANE_CONVERT_PARAMETER
    return c;
}

}  // namespace talvane::py
