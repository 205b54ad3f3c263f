// Keep-mask analysis: window energies, noise floor, threshold, cleaning passes, mask.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "analysis/band_filter.hpp"
#include "buffer.hpp"
#include "analysis/music_decision.hpp"
#include "config.hpp"
#include "messages.hpp"

namespace talvane {

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

// One step of the exponential smoothing, in float32 and in this order; alpha is
// used as given (no clamp).
inline float smooth_step(float running, float alpha, float energy) {
    return (1.0f - alpha) * running + alpha * energy;
}

// Smoothed energies: the running value starts at E[0] and every window, the first
// included, goes through smooth_step. Empty input gives an empty vector.
std::vector<float> smooth_energies(std::span<const float> energies, float alpha);

// The same into out (energies.size() values), allocating nothing. Both forms run
// this one loop, so a NaN they make has the same bits wherever it is called from.
void smooth_energies_into(std::span<const float> energies, float alpha, std::span<float> out);

// A float's bits as an unsigned key whose order is IEEE totalOrder: negative
// NaNs, -inf .. -0, +0 .. +inf, positive NaNs. from_total_order_key inverts it.
inline std::uint32_t total_order_key(float value) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    return (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
}
inline float from_total_order_key(std::uint32_t key) {
    return std::bit_cast<float>((key & 0x80000000u) != 0 ? (key & 0x7fffffffu) : ~key);
}

// Where the noise floor lies among n >= 2 values sorted by totalOrder: ranks lo and
// hi (equal, or hi = lo + 1) and the weight of hi. The percentile is clamped to
// [0, 100]; a NaN percentile gives position 0.
struct FloorRanks {
    std::size_t lo, hi;
    float fraction;  // of the value at rank hi; unused when lo == hi
};
FloorRanks floor_ranks(std::size_t n, float percentile);

// The floor from the values at ranks lo and hi: the value at lo when lo == hi,
// else high * f + (1 - f) * low in float32.
float interpolate_floor(float low, float high, const FloorRanks& ranks);

// The keys at ranks lo and hi (hi is lo or lo + 1) of totalOrder keys, found by
// selection rather than a full sort. Reorders the keys so that keys[lo] holds rank
// lo, every key before it is at most that, and every key after it at least that.
struct RankedKeys {
    std::uint32_t low, high;
};
RankedKeys select_ranked_keys(std::span<std::uint32_t> keys, std::size_t lo, std::size_t hi);

// Noise floor of the smoothed energies: the percentile of their totalOrder
// ordering, interpolated in float32. One window gives it unchanged; none gives 0.0f.
float noise_floor(std::span<const float> smoothed, float percentile);

// Voice threshold: floor * threshold_ratio, raised to base_thresh, then lowered
// to max_thresh (float32; a NaN product stays NaN), and which limit applied.
enum class Clamp { none, low, high };
struct Threshold {
    float value;
    Clamp clamped;  // low: the product was below base_thresh; high: above max_thresh
};
Threshold threshold_for(const GateConfig& config, float floor);
inline float clamp_threshold(const GateConfig& config, float floor) { return threshold_for(config, floor).value; }

// Whether base <= max with neither NaN; check_threshold_limits throws
// CheckFailed (its text from threshold_limits_message) when not.
inline bool threshold_limits_in_order(float base_thresh, float max_thresh) { return base_thresh <= max_thresh; }
void check_threshold_limits(float base_thresh, float max_thresh);

// The voice decision of one window: strictly above the threshold, so a NaN on
// either side is never voice.
inline bool is_voice(float smoothed, float threshold) { return smoothed > threshold; }

// Voice decision (smoothed energy strictly above the threshold; NaN is never
// voice) followed by the four cleaning passes: short-run removal, gap filling,
// padding and pass windows. Returns one keep flag per window; every pass is a
// single sweep, whatever the counts.
std::vector<std::uint8_t> keep_flags(const GateConfig& config, std::span<const float> smoothed,
                                     float threshold);

// A maximal stretch of windows [start, end), as the cleaning passes see them.
struct WindowRun {
    std::size_t start, end;
};

// keep_flags into out (smoothed.size() flags), with `runs` as working storage: it
// allocates nothing once runs has room for smoothed.size() / 2 + 2 runs.
void keep_flags_into(const GateConfig& config, std::span<const float> smoothed, float threshold,
                     std::vector<WindowRun>& runs, std::span<std::uint8_t> out);

// keep_flags_into with a threshold per window (thresholds[t] for window t).
void keep_flags_into(const GateConfig& config, std::span<const float> smoothed, std::span<const float> thresholds,
                     std::vector<WindowRun>& runs, std::span<std::uint8_t> out);

// Which rule turns the noise floor into the threshold: the ratio rule (threshold_for)
// or the noise-relative one, a product option (noise_rule.hpp).
enum class ThresholdRule : std::uint8_t { ratio, noise };

// Everything after the energies: smoothing, noise floor, threshold, voice decision
// and the four passes. Does not check the threshold limits (callers do, first).
// Under the noise rule, `high` and `ratio` are the values it used; under the
// ratio rule `high` is NaN (not read) and `ratio` is threshold_ratio.
struct Decision {
    std::vector<float> smoothed;
    float floor;
    Threshold threshold;
    std::vector<std::uint8_t> keep;  // one flag per window, after the four passes
    float high;
    float ratio;
    std::vector<float> thresholds;  // each window's, with the music measure; else empty
};
// With `music` (one value per window, or empty for none), window t is voice above
// thresholds[t] = raised_threshold(threshold, music[t].factor, max_thresh)
// (music_decision.hpp).
Decision decide(const GateConfig& config, std::span<const float> energies,
                ThresholdRule rule = ThresholdRule::ratio, std::span<const MusicValues> music = {});

// Every intermediate of one analysis, for inspection: what compute_keep_windows_inner
// decides (under the ratio rule), and how. Checks the threshold limits first, also
// for empty input. With
// a band, the analysis reads the samples through a new BandFilter of those edges:
// every field is that of the analysis of band_filter(samples, sample_rate, *band),
// the filtered signal never held whole; throws CheckFailed with band_edges_error's
// text (after the limits' check) when the edges are refused.
struct AnalysisView {
    std::uint64_t window_len;
    std::vector<float> energies;
    Decision decision;
    std::vector<std::uint8_t> voice;  // per window, before the cleaning passes
    std::vector<MusicValues> music;   // per window with the music measure, else empty
};
// With `music`, the music measure reads the analysis signal (the band's output, or
// the samples) and raises each window's threshold by its factor.
AnalysisView analyse_inner(const GateConfig& config, std::span<const float> samples, std::uint64_t sample_rate,
                           const std::optional<BandEdges>& band = std::nullopt,
                           ThresholdRule rule = ThresholdRule::ratio, bool music = false);

// window_energies of the samples as `filter` turns them, from its present state,
// filtered a few windows at a time into one small buffer; the filter keeps its state.
// The measure in `music`, when given, takes the filtered samples in order.
std::vector<float> filtered_window_energies(BandFilter& filter, std::span<const float> samples,
                                            std::uint64_t window_len, MusicSpectra* music = nullptr);

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

// The maximal runs of kept samples of expand_flags(flags, window_len, n_samples),
// as half-open [start, end) pairs in order, found from the window flags alone.
struct SampleRun {
    std::uint64_t start, end;  // samples
};
std::vector<SampleRun> kept_runs(std::span<const std::uint8_t> flags, std::uint64_t window_len,
                                 std::size_t n_samples);

}  // namespace talvane
