// Gain ramp rule and the two gain-applying paths of the batch gate.
#include "batch/gain.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/keep_mask.hpp"
#include "bulk_copy.hpp"

namespace talvane {

std::uint64_t fade_length(const GateConfig& config, std::uint64_t sample_rate) {
    return ms_to_samples(sample_rate, config.fade_ms);
}

namespace {

// A change of gain at sample `at`; the ramp after it leads from `from` to `to`.
struct GainChange {
    std::uint64_t at;
    float from, to;
};

// The gain ramp rule over a curve of n samples, for changes in increasing order of
// position: after each, L = min(fade_len, n - at) samples get from + (to - from) *
// (k / L), k = 1..L, in float32 in that order. A later ramp overwrites an earlier
// one, so each ramp is written only up to the next change: O(n) whatever the
// changes. put(position, gain) receives every value.
template <class Put>
void write_ramps(std::span<const GainChange> changes, std::uint64_t n, std::uint64_t fade_len, Put&& put) {
    for (std::size_t c = 0; c < changes.size(); ++c) {
        const GainChange& change = changes[c];
        const std::uint64_t len = std::min<std::uint64_t>(fade_len, n - change.at);
        const std::uint64_t next = c + 1 < changes.size() ? changes[c + 1].at : n;
        const std::uint64_t written = std::min<std::uint64_t>(len, next - change.at);
        const float delta = change.to - change.from;
        const auto length = static_cast<float>(len);
        for (std::uint64_t k = 1; k <= written; ++k) {
            put(change.at + k - 1, change.from + delta * (static_cast<float>(k) / length));
        }
    }
}

}  // namespace

void ramp_gains(std::span<float> gains, std::uint64_t fade_len, const float* entry_gain) {
    const std::size_t n = gains.size();
    if (n == 0) return;
    // Ramps read the raw gains on both sides of each change, so the changes are
    // recorded before any gain is overwritten. An entry ramp is a change at 0.
    std::vector<GainChange> changes;
    if (entry_gain != nullptr && *entry_gain != gains[0]) changes.push_back({0, *entry_gain, gains[0]});
    for (std::size_t p = 1; p < n; ++p) {
        if (gains[p] != gains[p - 1]) changes.push_back({p, gains[p - 1], gains[p]});
    }
    write_ramps(changes, n, fade_len, [&](std::uint64_t p, float gain) { gains[p] = gain; });
}

void fill_window_gains(std::span<const std::uint8_t> flags, std::uint64_t window_len, float attenuation,
                       std::uint64_t first, std::span<float> out) {
    const std::uint64_t end = first + out.size();
    for (std::uint64_t t = first / window_len; t < flags.size() && t * window_len < end; ++t) {
        const std::uint64_t from = std::max(first, t * window_len);
        const std::uint64_t to = t * window_len + std::min(window_len, end - t * window_len);
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(from - first),
                  out.begin() + static_cast<std::ptrdiff_t>(to - first), flags[t] != 0 ? 1.0f : attenuation);
    }
}

void window_gain_curve(std::span<const std::uint8_t> flags, std::uint64_t window_len, float attenuation,
                       std::uint64_t first, std::uint64_t fade_len, const float* entry_gain, std::span<float> out) {
    fill_window_gains(flags, window_len, attenuation, first, out);
    const std::uint64_t n = out.size();
    if (fade_len < 2 || n == 0) return;
    if (std::isnan(attenuation)) {
        ramp_gains(out, fade_len, entry_gain);
        return;
    }
    std::vector<GainChange> changes;
    if (entry_gain != nullptr && *entry_gain != out[0]) changes.push_back({0, *entry_gain, out[0]});
    auto gain_of = [&](std::uint8_t flag) { return flag != 0 ? 1.0f : attenuation; };
    // Window t starts at sample p of out; counted without t * window_len, which
    // may not fit a word.
    std::uint64_t t = first / window_len + 1;
    std::uint64_t p = window_len - first % window_len;
    for (; p < n && t < flags.size(); ++t) {
        const float before = gain_of(flags[t - 1]), after = gain_of(flags[t]);
        if (before != after) changes.push_back({p, before, after});
        if (n - p <= window_len) break;
        p += window_len;
    }
    write_ramps(changes, n, fade_len, [&](std::uint64_t at, float gain) { out[at] = gain; });
}

SampleBuffer apply_array_inner(const GateConfig& config, std::span<const float> samples,
                               std::uint64_t sample_rate) {
    if (!config.enabled) return copy_samples(samples);
    const std::size_t n = samples.size();
    if (n == 0) return {};  // no analysis for an empty recording
    const KeepWindows windows = compute_keep_windows_inner(config, samples, sample_rate);
    // The output holds the gain curve first (every element written), then the products.
    SampleBuffer out(n);
    fill_window_gains(windows.flags, windows.window_len, config.attenuation, 0, out);
    const std::uint64_t fade_len = fade_length(config, sample_rate);
    if (fade_len >= 2) ramp_gains(out, fade_len);
    for (std::size_t k = 0; k < n; ++k) out[k] = samples[k] * out[k];
    return out;
}

SampleBuffer apply_array_np_inner(const GateConfig& config, std::span<const float> samples,
                                  std::uint64_t sample_rate) {
    if (!config.enabled) return copy_samples(samples);
    const KeepWindows windows = compute_keep_windows_inner(config, samples, sample_rate);
    const std::size_t n = samples.size();
    const std::uint64_t w = windows.window_len;
    const std::size_t n_windows = windows.flags.size();
    const float attenuation = config.attenuation;
    const float* in = samples.data();
    SampleBuffer out = zeroed_samples(n);
    float* dst = out.data();

    // A dropped window is +0.0 when attenuation equals 0 (-0.0 included), whatever
    // its samples: the output starts from zeros and such windows are not touched.
    const bool bypass = bypass_cache(n);
    for (std::size_t j = 0; j < n_windows; ++j) {
        const std::uint64_t start = j * w;
        const std::uint64_t count = std::min<std::uint64_t>(w, n - start);
        if (windows.flags[j] != 0) {
            copy_scaled(dst + start, in + start, count, nullptr, bypass);
        } else if (attenuation != 0.0f) {
            copy_scaled(dst + start, in + start, count, &attenuation, bypass);
        }
    }
    finish_bypass(bypass);

    const std::uint64_t fade_len = fade_length(config, sample_rate);
    if (n == 0 || fade_len < 2 || n_windows < 2) return out;
    // The gain changes only where the window flag does; ramp samples are the
    // input times the ramp's gain.
    auto gain_of = [&](std::uint8_t flag) { return flag != 0 ? 1.0f : attenuation; };
    std::vector<GainChange> changes;
    for (std::size_t j = 1; j < n_windows; ++j) {
        if (windows.flags[j] != windows.flags[j - 1]) {
            changes.push_back({j * w, gain_of(windows.flags[j - 1]), gain_of(windows.flags[j])});
        }
    }
    write_ramps(changes, n, fade_len, [&](std::uint64_t p, float gain) { dst[p] = gain * in[p]; });
    return out;
}

}  // namespace talvane
