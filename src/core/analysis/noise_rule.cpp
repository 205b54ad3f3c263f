// The noise-relative threshold rule: its two order statistics and its threshold.
#include "analysis/noise_rule.hpp"

#include <cmath>
#include <vector>

namespace talvane {

namespace {

// Three square roots: the eighth root, from correctly rounded operations alone.
float eighth_root(float v) { return std::sqrt(std::sqrt(std::sqrt(v))); }

}  // namespace

RuleStats rule_stats(std::span<const float> smoothed, float floor_percentile) {
    const std::size_t n = smoothed.size();
    if (n == 0) return {0.0f, 0.0f};
    if (n == 1) return {smoothed[0], smoothed[0]};
    std::vector<std::uint32_t> keys(n);
    for (std::size_t t = 0; t < n; ++t) keys[t] = total_order_key(smoothed[t]);
    // Each selection leaves the keys a permutation of the same values, so the
    // second finds its ranks as in a fresh copy.
    auto at = [&keys, n](float percentile) {
        const FloorRanks ranks = floor_ranks(n, percentile);
        const RankedKeys found = select_ranked_keys(keys, ranks.lo, ranks.hi);
        return interpolate_floor(from_total_order_key(found.low), from_total_order_key(found.high), ranks);
    };
    const float floor = at(floor_percentile);
    return {floor, at(kRuleHighPercentile)};
}

RuleThreshold noise_rule_threshold(const GateConfig& config, float floor, float high) {
    float ratio = config.threshold_ratio;
    if (floor > 0.0f && high > floor) {
        const float adaptive = eighth_root(high) / eighth_root(floor);
        if (!(ratio >= adaptive)) ratio = adaptive;  // a NaN threshold_ratio gives way too
    }
    Threshold t{floor * ratio, Clamp::none};
    if (std::isnan(t.value) || t.value < config.base_thresh) t = {config.base_thresh, Clamp::low};
    if (t.value > config.max_thresh) t = {config.max_thresh, Clamp::high};
    return {t, ratio};
}

}  // namespace talvane
