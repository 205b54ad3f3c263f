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
                       std::uint64_t origin, std::uint64_t n, std::uint64_t fade_len, const float* entry_gain,
                       std::uint64_t start, std::span<float> out) {
    fill_window_gains(flags, window_len, attenuation, origin + start, out);
    if (fade_len < 2 || out.empty()) return;
    const std::uint64_t stop = start + out.size();
    auto gain_of = [&](std::uint8_t flag) { return flag != 0 ? 1.0f : attenuation; };
    // Each change is written once the next is known (a ramp ends where the next
    // begins), so no list of changes is made: a streaming call allocates nothing.
    bool pending = false;
    GainChange last{};
    auto put = [&](std::uint64_t at, float gain) {
        if (at >= start && at < stop) out[at - start] = gain;
    };
    auto change = [&](const GainChange& next) {
        if (pending) write_ramp(last, next.at, n, fade_len, put);
        last = next;
        pending = true;
    };
    if (entry_gain != nullptr && start < fade_len) {
        const float first = gain_of(flags[origin / window_len]);
        if (*entry_gain != first) change({0, *entry_gain, first});
    }
    // A ramp is at most fade_len long, so no change at or before `reach` touches
    // the range. Between two NaN gains the flag change counts too (NaN != NaN),
    // though then every value written is NaN either way. Window t begins at
    // recording position p, counted without t * window_len, which may not fit a word.
    const std::uint64_t reach = start > fade_len ? start - fade_len : 0;
    std::uint64_t t = (origin + reach) / window_len + 1;
    std::uint64_t p = reach + (window_len - (origin + reach) % window_len);
    for (; p < stop && t < flags.size(); ++t) {
        const float before = gain_of(flags[t - 1]), after = gain_of(flags[t]);
        if (before != after) change({p, before, after});
        if (stop - p <= window_len) break;
        p += window_len;
    }
    if (pending) write_ramp(last, n, n, fade_len, put);
}

SampleBuffer gain_curve(const GateConfig& config, std::span<const std::uint8_t> flags, std::uint64_t window_len,
                        std::size_t n_samples, std::uint64_t sample_rate) {
    return gain_curve_part(config, flags, window_len, n_samples, sample_rate, 0, n_samples);
}

SampleBuffer gain_curve_part(const GateConfig& config, std::span<const std::uint8_t> flags,
                             std::uint64_t window_len, std::size_t n_samples, std::uint64_t sample_rate,
                             std::uint64_t first, std::uint64_t end) {
    const auto stop = static_cast<std::size_t>(std::min<std::uint64_t>(end, n_samples));
    const auto start = static_cast<std::size_t>(std::min<std::uint64_t>(first, stop));
    SampleBuffer gains(stop - start);  // every element written below
    if (!config.enabled) {
        std::fill(gains.begin(), gains.end(), 1.0f);
        return gains;
    }
    window_gain_curve(flags, window_len, config.attenuation, 0, n_samples, fade_length(config, sample_rate),
                      nullptr, start, gains);
    return gains;
}

SampleBuffer apply_array_inner(const GateConfig& config, std::span<const float> samples,
                               std::uint64_t sample_rate) {
    if (!config.enabled) return copy_samples(samples);
    const std::size_t n = samples.size();
    if (n == 0) return {};  // no analysis for an empty recording
    const KeepWindows windows = compute_keep_windows_inner(config, samples, sample_rate);
    // The output holds the gain curve first, then the products.
    SampleBuffer out = gain_curve(config, windows.flags, windows.window_len, n, sample_rate);
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
