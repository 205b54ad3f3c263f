// Keep-mask analysis: window energies, noise floor, threshold, cleaning passes, mask.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "buffer.hpp"
#include "config.hpp"

namespace talvane {

// The analysis's one failed check (threshold limits out of order).
class CheckFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One keep flag (0 or 1) per analysis window, plus the window length in samples.
struct KeepWindows {
    std::vector<std::uint8_t> flags;
    std::uint64_t window_len;  // samples, at least 1
};

// round(rate * ms / 1000) in double, halves away from zero, saturated to the
// unsigned range. Not raised to 1: callers that need at least 1 do so.
std::uint64_t ms_to_samples(std::uint64_t sample_rate, std::uint64_t ms);

// Double to unsigned word: NaN and negatives give 0, anything >= 2^64 the maximum.
std::uint64_t saturate_to_u64(double d);

// Analysis window length in samples: ms_to_samples of window_ms, at least 1.
std::uint64_t window_length(const GateConfig& config, std::uint64_t sample_rate);

// Number of windows of length window_len (>= 1) covering n_samples: the last may be short.
std::uint64_t window_count(std::uint64_t n_samples, std::uint64_t window_len);

// Where the floor was found last time, for a caller that analyses nearly the same
// energies again and again (the streaming gate): the keys (totalOrder) of the
// values a few ranks below and above the floor. The selection first searches only
// the values between them and falls back to all values when the ranks it needs
// are not there. It only saves time: any hint gives the same floor, and the hint
// is updated for the next call.
struct FloorHint {
    bool valid = false;
    std::uint32_t below_key = 0, above_key = 0;
};

// Noise floor of the smoothed energies: the percentile (clamped to [0, 100], NaN
// taken as position 0) of their totalOrder ordering, interpolated in float32.
// One window gives it unchanged; no window gives 0.0f.
float noise_floor(std::span<const float> smoothed, float percentile, FloorHint* hint = nullptr);

// Threshold-limit check: throws CheckFailed unless base <= max with neither NaN.
void check_threshold_limits(float base_thresh, float max_thresh);

// Shortest decimal text that reads back as the same float32 (at least one digit
// after the point; exponent form below 1e-4 or from 1e16; "NaN", "inf").
std::string format_float(float value);

// Voice decision (smoothed energy strictly above the threshold; NaN is never
// voice) followed by the four cleaning passes: short-run removal, gap filling,
// padding and pass windows. Returns one keep flag per window; every pass is a
// single sweep, whatever the counts.
std::vector<std::uint8_t> keep_flags(const GateConfig& config, std::span<const float> smoothed,
                                     float threshold);

// Everything after the energies: smoothing, noise floor, threshold, voice decision
// and the four passes. Does not check the threshold limits (callers do, first).
// What one analysis can hand the next when their energies overlap (the streaming
// gate): the floor hint, and the smoothed values of a leading stretch of windows
// whose energies are the same as last time. The smoothing of the new energies
// starts afresh, but once its running value equals the old one bit for bit, the
// rest of that stretch is the old values (same inputs, same steps). Only saves
// time; the flags are the same with or without it.
struct AnalysisMemo {
    FloorHint floor;                        // in and out
    std::span<const float> known_smoothed;  // in
    std::vector<float> smoothed;            // out: this analysis's smoothed energies
};

std::vector<std::uint8_t> flags_from_energies(const GateConfig& config, std::span<const float> energies,
                                              AnalysisMemo* memo = nullptr);

// The whole analysis: window flags after all four passes and the window length.
// Fails with CheckFailed when the threshold limits are out of order, also for
// empty input, which otherwise gives no flags. A rate of 0 gives windows of 1 sample.
KeepWindows compute_keep_windows_inner(const GateConfig& config, std::span<const float> samples,
                                       std::uint64_t sample_rate);

// Per-sample keep mask (0 or 1 per sample): each sample takes its window's flag.
// Empty input returns an empty mask at once, without running the analysis.
FlagBuffer compute_keep_mask_inner(const GateConfig& config, std::span<const float> samples,
                                   std::uint64_t sample_rate);

// Spreads window flags over the samples: flags[t] covers samples
// [t*window_len, min(n_samples, (t+1)*window_len)).
FlagBuffer expand_flags(std::span<const std::uint8_t> flags, std::uint64_t window_len,
                        std::size_t n_samples);

}  // namespace talvane
