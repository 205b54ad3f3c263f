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

// Samples [start, start + out.size()) of the ramped gain curve of a recording of
// n samples whose sample 0 lies `origin` samples into the first window of `flags`
// (windows of window_len samples). Raw gains are 1.0 for a kept window and
// attenuation elsewhere; when fade_len >= 2 the ramp rule runs over the recording
// as a whole: after every change of window flag inside it (positions >= 1) and,
// with entry_gain given and differing from the first raw gain, an entry ramp at 0;
// every ramp is clipped at n. The gain changes only where the flag does, so only
// the flag changes that reach the range are visited, not every pair of samples.
void window_gain_curve(std::span<const std::uint8_t> flags, std::uint64_t window_len, float attenuation,
                       std::uint64_t origin, std::uint64_t n, std::uint64_t fade_len, const float* entry_gain,
                       std::uint64_t start, std::span<float> out);

// The per-sample gain curve the list path multiplies by: 1.0 for samples of kept
// windows, attenuation for the rest, then the ramp rule when the fade length is
// at least 2. All ones when the gate is disabled.
SampleBuffer gain_curve(const GateConfig& config, std::span<const std::uint8_t> flags, std::uint64_t window_len,
                        std::size_t n_samples, std::uint64_t sample_rate);

// Samples [first, end) of gain_curve, bit for bit, without the rest of the curve;
// the bounds are clipped to the recording as a slice's are (end to n_samples,
// first to end).
SampleBuffer gain_curve_part(const GateConfig& config, std::span<const std::uint8_t> flags,
                             std::uint64_t window_len, std::size_t n_samples, std::uint64_t sample_rate,
                             std::uint64_t first, std::uint64_t end);

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
