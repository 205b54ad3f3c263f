// Gain application: the fade length, the gain ramp rule and both apply paths.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "config.hpp"

namespace talvane {

// Ramp length in samples: round(rate * fade_ms / 1000), halves away from zero,
// saturated. Below 2 means no ramps at all.
std::uint64_t fade_length(const GateConfig& config, std::uint64_t sample_rate);

// The gain ramp rule, in place: the raw gains become the ramped curve. After every
// change of gain at i >= 1 (gains[i] != gains[i-1] as floats, so NaN always
// differs), L = min(fade_len, N - i) samples get old + (new - old) * (k / L),
// k = 1..L, in float32 in that order; a later ramp overwrites an earlier one. With
// entry_gain given and differing from gains[0], an entry ramp of min(N, fade_len)
// samples first leads from it to gains[0] the same way. Callers apply this only
// for fade_len >= 2. O(N) whatever the gains: each ramp is written only up to the
// next change, whose ramp covers everything after it.
void ramp_gains(std::span<float> gains, std::uint64_t fade_len, const float* entry_gain = nullptr);

// Gains of window flags spread over the samples: 1.0 where the window is kept,
// attenuation elsewhere; out covers samples [first, first + out.size()) of a
// recording whose windows are window_len long.
void fill_window_gains(std::span<const std::uint8_t> flags, std::uint64_t window_len, float attenuation,
                       std::uint64_t first, std::span<float> out);

// fill_window_gains followed, when fade_len >= 2, by ramp_gains with entry_gain: the
// same curve, found from the window flags rather than by comparing every pair of
// samples, since the gain changes only where the flag does (a NaN attenuation,
// which differs even from itself, takes the per-sample way).
void window_gain_curve(std::span<const std::uint8_t> flags, std::uint64_t window_len, float attenuation,
                       std::uint64_t first, std::uint64_t fade_len, const float* entry_gain, std::span<float> out);

// List path: per-sample gains 1.0 / attenuation, ramps, products. Disabled:
// a copy. Empty input gives an empty output without running the analysis.
SampleBuffer apply_array_inner(const GateConfig& config, std::span<const float> samples,
                               std::uint64_t sample_rate);

// Array path: window flags, output from zeros written window by window (a dropped
// window stays +0.0 when attenuation equals 0), ramps on window boundaries where
// the flag changes. Disabled: a copy. Runs the analysis also for empty input.
SampleBuffer apply_array_np_inner(const GateConfig& config, std::span<const float> samples,
                                  std::uint64_t sample_rate);

}  // namespace talvane
