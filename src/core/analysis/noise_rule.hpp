// The noise-relative threshold rule: a product option beside the ratio rule
// (threshold_for), chosen per analysis, never part of GateConfig.
#pragma once

#include <span>

#include "analysis/keep_mask.hpp"
#include "config.hpp"

namespace talvane {

// The rule reads a second percentile of the smoothed energies, a high one: how
// loud the recording's loud part is. The floor stays the gate's own, at
// noise_floor_percentile.
inline constexpr float kRuleHighPercentile = 95.0f;

// The floor and the high percentile of the smoothed energies, each taken as
// noise_floor takes its percentile (totalOrder ranks, interpolated in float32),
// from one copy of the keys. No window gives 0.0f for both; one window gives its
// own value for both.
struct RuleStats {
    float floor, high;
};
RuleStats rule_stats(std::span<const float> smoothed, float floor_percentile);

// The rule's threshold, in float32:
//     root(v) = sqrt(sqrt(sqrt(v))),
//     ratio   = root(high) / root(floor) where that is above threshold_ratio (or
//               threshold_ratio is NaN), else threshold_ratio,
//     threshold = floor * ratio, raised to base_thresh, then lowered to max_thresh.
// The threshold follows the floor, and how far above it depends on how far the
// recording's loud part lies above the floor, slowly: (high / floor)^(1/8) is 1.33
// for 10 dB, 1.78 for 20 dB, 3.16 for 40 dB; threshold_ratio is the least ratio.
// With no upper limit (max_thresh infinite) loud noise never holds the threshold
// under itself. The roots are taken of each value apart, so that no quotient
// overflows: a floor of 1e-45 and a high of 1 give a ratio of about 4e5, and the
// threshold never exceeds high.
//
// Edges, each giving a number, so that the rule never drops a whole recording for
// want of a threshold:
//   - a floor not above 0 (a recording 20 % or more digital silence; a NaN floor
//     too), or a high not above the floor (a NaN high too): ratio = threshold_ratio;
//   - a NaN product of floor and ratio (a NaN floor, or a NaN threshold_ratio with no
//     adaptive ratio): the threshold is base_thresh, reported as clamped low;
//   - base_thresh stays a lower bound and max_thresh an upper one, applied in the
//     ratio rule's order; `clamped` says which applied, as threshold_for does.
struct RuleThreshold {
    Threshold threshold;
    float ratio;  // what the floor was multiplied by
};
RuleThreshold noise_rule_threshold(const GateConfig& config, float floor, float high);

}  // namespace talvane
