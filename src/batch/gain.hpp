// Gain application: the fade length, the gain ramp rule and both apply paths.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "module/gate_config.hpp"

namespace talvane {

// Ramp length in samples: round(rate * fade_ms / 1000), halves away from zero,
// saturated. Below 2 means no ramps at all.
std::uint64_t fade_length(const GateConfig& config, std::uint64_t sample_rate);

// The gain ramp rule. Writes into curve (same length as gains) the raw gains with a
// linear ramp after every change of gain: at each i >= 1 with gains[i] != gains[i-1]
// (float compare, so NaN always differs), L = min(fade_len, N - i) samples get
// old + (new - old) * (k / L), k = 1..L, in float32 in that order; a later ramp
// overwrites an earlier one. With entry_gain given and differing from gains[0], an
// entry ramp of min(N, fade_len) samples first leads from it to gains[0] the same
// way. Callers apply this only for fade_len >= 2. O(N) whatever the gains: each
// sample takes the latest ramp that covers it.
void ramp_gains(std::span<const float> gains, std::uint64_t fade_len, std::span<float> curve,
                const float* entry_gain = nullptr);

// List path: per-sample mask, gains 1.0 / attenuation, ramps, products. Disabled:
// a copy. Empty input gives an empty output without running the analysis.
std::vector<float> apply_array_inner(const GateConfig& config, std::span<const float> samples,
                                     std::uint64_t sample_rate);

// Array path: window flags, output from zeros written window by window (a dropped
// window stays +0.0 when attenuation equals 0), ramps on window boundaries where
// the flag changes. Disabled: a copy. Runs the analysis also for empty input.
std::vector<float> apply_array_np_inner(const GateConfig& config, std::span<const float> samples,
                                        std::uint64_t sample_rate);

}  // namespace talvane
