// What Stream() makes of its arguments before the object exists: the keyword
// names, the rate, the levels, the positional count and a preset's values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "config.hpp"
#include "convert/gate_params.hpp"
#include "convert/ref.hpp"

namespace talvane::stream_args {

// Stream()'s arguments in binding order: sample_rate, band, on_event, the gate
// parameters, rule, music and preset.
inline constexpr std::size_t kFirstParameter = 3;
inline constexpr std::size_t kRule = kFirstParameter + kGateParameterCount;
inline constexpr std::size_t kMusic = kRule + 1;
inline constexpr std::size_t kPreset = kMusic + 1;
inline constexpr auto kNames = [] {
    std::array<const char*, kPreset + 1> names{"sample_rate", "band", "on_event"};
    for (std::size_t i = 0; i < kGateParameterCount; ++i) names[kFirstParameter + i] = py::kConfigNames[i];
    names[kRule] = "rule";
    names[kMusic] = "music";
    names[kPreset] = "preset";
    return names;
}();

// The stream's rate in Hz: an integer of at least 1; zero or a negative value is a
// ValueError naming it, a value past 64 bits the OverflowError of to_unsigned.
std::uint64_t positive_rate(PyObject* obj);

// NaN levels and threshold limits out of order are ValueErrors.
void refuse_bad_levels(const GateConfig& config);

// sample_rate alone is positional; it is the one argument required.
void check_positional(PyObject* args, bool has_rate);

// The arguments a preset gives: talvane_rs.params.stream_preset(name) returns the
// values of band, the gate parameters, rule and music in the order of the names
// after on_event; each one not given explicitly takes its value from there.
void take_preset(std::span<py::Ref, kNames.size()> arg);

}  // namespace talvane::stream_args
