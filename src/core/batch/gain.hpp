// Gain application: the fade length, the gain ramp rule and both apply paths.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "config.hpp"

namespace talvane {

// Ramp length in samples: round(rate * fade_ms / 1000), halves away from zero,
// saturated. Below 2 means no ramps at all.
std::uint64_t fade_length(const GateConfig& config, std::uint64_t sample_rate);

// A change of gain at sample `at`; the ramp after it leads from `from` to `to`.
struct GainChange {
    std::uint64_t at;
    float from, to;
};

// The gain ramp rule over a curve of n samples, for changes in increasing order of
// position: after each, L = min(fade_len, n - at) samples get from + (to - from) *
// (k / L), k = 1..L, in float32 in that order. A later ramp overwrites an earlier
// one, so each ramp is written only up to the next change: O(n) whatever the
// changes. put(position, gain) receives every value. An entry ramp is a change at 0.
// write_ramp writes one of them, up to `next`, where the next change begins.
template <class Put>
void write_ramp(const GainChange& change, std::uint64_t next, std::uint64_t n, std::uint64_t fade_len, Put&& put) {
    const std::uint64_t len = std::min<std::uint64_t>(fade_len, n - change.at);
    const std::uint64_t written = std::min<std::uint64_t>(len, next - change.at);
    const float delta = change.to - change.from;
    const auto length = static_cast<float>(len);
    for (std::uint64_t k = 1; k <= written; ++k) {
        put(change.at + k - 1, change.from + delta * (static_cast<float>(k) / length));
    }
}
template <class Put>
void write_ramps(std::span<const GainChange> changes, std::uint64_t n, std::uint64_t fade_len, Put&& put) {
    for (std::size_t c = 0; c < changes.size(); ++c) {
        write_ramp(changes[c], c + 1 < changes.size() ? changes[c + 1].at : n, n, fade_len, put);
    }
}

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
