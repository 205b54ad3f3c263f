// GateConfig: the fourteen construction parameters shared by both gate classes,
// written once in TALVANE_GATE_PARAMETERS.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvane {

// The one table of the gate parameters, in their order: X(kind, name, default).
// Every list of them (the record below, the binding's names and conversions, the
// constructors' text signature) is expanded from it. A kind is `flag` (bool),
// `count` (unsigned machine word) or `level` (32-bit float); a level's default is
// written as a plain decimal, which becomes the float nearest to it and, as text,
// the default that the text signature shows.
#define TALVANE_GATE_PARAMETERS(X)        \
    X(flag, enabled, true)                \
    X(count, window_ms, 10)               \
    X(level, base_thresh, 0.008)          \
    X(level, threshold_ratio, 2.0)        \
    X(level, max_thresh, 0.035)           \
    X(level, smooth_alpha, 0.2)           \
    X(count, min_voice_windows, 5)        \
    X(level, attenuation, 0.0)            \
    X(level, noise_floor_percentile, 20.0) \
    X(count, max_silence_gap_windows, 8)  \
    X(count, fade_ms, 5)                  \
    X(count, stream_context_ms, 3000)     \
    X(count, pad_voice_windows, 2)        \
    X(count, pass_windows, 0)

// The C++ type of each kind, and its default as a literal of that type (a level's
// decimal with the float suffix pasted on, so that it is the nearest float, not the
// nearest double rounded again).
#define TALVANE_PARAMETER_TYPE_flag bool
#define TALVANE_PARAMETER_TYPE_count std::uint64_t
#define TALVANE_PARAMETER_TYPE_level float
#define TALVANE_PARAMETER_VALUE_flag(v) v
#define TALVANE_PARAMETER_VALUE_count(v) v
#define TALVANE_PARAMETER_VALUE_level(v) v##f

// Stored exactly as converted: nothing is range-checked, clamped or derived here.
// Levels are RMS of full scale 1.0 (base_thresh, max_thresh) or plain ratios;
// attenuation is the linear gain of dropped audio.
struct GateConfig {
#define TALVANE_GATE_FIELD(kind, name, value) \
    TALVANE_PARAMETER_TYPE_##kind name = TALVANE_PARAMETER_VALUE_##kind(value);
    TALVANE_GATE_PARAMETERS(TALVANE_GATE_FIELD)
#undef TALVANE_GATE_FIELD
};

#define TALVANE_COUNT_PARAMETER(kind, name, value) +1
inline constexpr std::size_t kGateParameterCount = 0 TALVANE_GATE_PARAMETERS(TALVANE_COUNT_PARAMETER);
#undef TALVANE_COUNT_PARAMETER

}  // namespace talvane
