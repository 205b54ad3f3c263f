// Gain ramp rule and the two gain-applying paths of the batch gate.
#include "batch/gain.hpp"

#include <algorithm>
#include <cstring>

#include "analysis/keep_mask.hpp"
#include "bulk_copy.hpp"

namespace talvane {

std::uint64_t fade_length(const GateConfig& config, std::uint64_t sample_rate) {
    return ms_to_samples(sample_rate, config.fade_ms);
}

namespace {

// Writes from + (to - from) * (k / len) for k = 1.. at gains[start + k - 1], up to
// (not including) index `limit`.
void write_ramp(std::span<float> gains, std::size_t start, float from, float to, std::uint64_t len,
                std::size_t limit) {
    const float delta = to - from;
    const auto length = static_cast<float>(len);
    for (std::size_t p = start; p < limit; ++p) {
        gains[p] = from + delta * (static_cast<float>(p - start + 1) / length);
    }
}

}  // namespace

void ramp_gains(std::span<float> gains, std::uint64_t fade_len, const float* entry_gain) {
    const std::size_t n = gains.size();
    if (n == 0) return;
    // Ramps read the raw gains on both sides of each change, so the changes are
    // recorded before any gain is overwritten.
    struct Change {
        std::size_t at;
        float from, to;
    };
    std::vector<Change> changes;
    for (std::size_t p = 1; p < n; ++p) {
        if (gains[p] != gains[p - 1]) changes.push_back({p, gains[p - 1], gains[p]});
    }
    if (entry_gain != nullptr && *entry_gain != gains[0]) {
        const std::uint64_t len = std::min<std::uint64_t>(n, fade_len);
        const std::size_t limit = changes.empty() ? len : std::min<std::uint64_t>(len, changes[0].at);
        write_ramp(gains, 0, *entry_gain, gains[0], len, limit);
    }
    for (std::size_t c = 0; c < changes.size(); ++c) {
        const Change& change = changes[c];
        const std::uint64_t len = std::min<std::uint64_t>(fade_len, n - change.at);
        const std::size_t next = c + 1 < changes.size() ? changes[c + 1].at : n;
        write_ramp(gains, change.at, change.from, change.to, len,
                   static_cast<std::size_t>(std::min<std::uint64_t>(change.at + len, next)));
    }
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

SampleBuffer apply_array_inner(const GateConfig& config, std::span<const float> samples,
                               std::uint64_t sample_rate) {
    if (!config.enabled) return copy_samples(samples);
    const std::size_t n = samples.size();
    if (n == 0) return {};  // no analysis for an empty recording
    const KeepWindows windows = compute_keep_windows_inner(config, samples, sample_rate);
    // The output holds the gain curve first, then the products.
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
    SampleBuffer out(n);  // zero
    float* dst = out.data();

    // A dropped window is +0.0 when attenuation equals 0 (-0.0 included), whatever
    // its samples: the output starts from zeros and such windows are not touched.
    const bool stream = n * sizeof(float) >= kStreamFrom;
    for (std::size_t j = 0; j < n_windows; ++j) {
        const std::uint64_t start = j * w;
        const std::uint64_t count = std::min<std::uint64_t>(w, n - start);
        if (windows.flags[j] != 0) {
            write_out(dst + start, in + start, count, nullptr, stream);
        } else if (attenuation != 0.0f) {
            write_out(dst + start, in + start, count, &attenuation, stream);
        }
    }
    finish_writes(stream);

    const std::uint64_t fade_len = fade_length(config, sample_rate);
    if (n == 0 || fade_len < 2 || n_windows < 2) return out;
    auto gain_of = [&](std::uint8_t flag) { return flag != 0 ? 1.0f : attenuation; };
    // Boundaries where the flag changes; each ramp is written only up to the next
    // such boundary, whose ramp overwrites everything after it anyway.
    std::vector<std::size_t> changes;
    for (std::size_t j = 1; j < n_windows; ++j) {
        if (windows.flags[j] != windows.flags[j - 1]) changes.push_back(j);
    }
    for (std::size_t c = 0; c < changes.size(); ++c) {
        const std::size_t j = changes[c];
        const std::uint64_t start = j * w;
        const std::uint64_t ramp_len = std::min<std::uint64_t>(fade_len, n - start);
        const std::uint64_t limit = c + 1 < changes.size() ? changes[c + 1] * w : n;
        const std::uint64_t written = std::min<std::uint64_t>(ramp_len, limit - start);
        const float old_gain = gain_of(windows.flags[j - 1]);
        const float delta = gain_of(windows.flags[j]) - old_gain;
        const auto len = static_cast<float>(ramp_len);
        for (std::uint64_t k = 1; k <= written; ++k) {
            const float gain = old_gain + delta * (static_cast<float>(k) / len);
            dst[start + k - 1] = gain * in[start + k - 1];
        }
    }
    return out;
}

}  // namespace talvane
