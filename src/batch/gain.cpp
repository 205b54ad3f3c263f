// Gain ramp rule and the two gain-applying paths of the batch gate.
#include "batch/gain.hpp"

#include <algorithm>
#include <cstring>

#include "analysis/keep_mask.hpp"

namespace talvane {

std::uint64_t fade_length(const GateConfig& config, std::uint64_t sample_rate) {
    return ms_to_samples(sample_rate, config.fade_ms);
}

void ramp_gains(std::span<const float> gains, std::uint64_t fade_len, std::span<float> curve,
                const float* entry_gain) {
    const std::size_t n = gains.size();
    if (n == 0) return;
    const bool entry = entry_gain != nullptr && *entry_gain != gains[0];
    const std::uint64_t entry_len = std::min<std::uint64_t>(n, fade_len);

    bool in_ramp = false;
    std::size_t ramp_start = 0;
    float old_gain = 0.0f, delta = 0.0f, ramp_len = 1.0f;
    for (std::size_t p = 0; p < n; ++p) {
        if (p >= 1 && gains[p] != gains[p - 1]) {
            in_ramp = true;
            ramp_start = p;
            old_gain = gains[p - 1];
            delta = gains[p] - gains[p - 1];
            ramp_len = static_cast<float>(std::min<std::uint64_t>(fade_len, n - p));
        }
        // An earlier transition cannot cover p when the latest one no longer does,
        // and the entry ramp ends before any transition ramp does.
        if (in_ramp && p - ramp_start < fade_len) {
            const auto k = static_cast<float>(p - ramp_start + 1);
            curve[p] = old_gain + delta * (k / ramp_len);
        } else if (entry && p < entry_len) {
            const auto k = static_cast<float>(p + 1);
            curve[p] = *entry_gain + (gains[0] - *entry_gain) * (k / static_cast<float>(entry_len));
        } else {
            curve[p] = gains[p];
        }
    }
}

std::vector<float> apply_array_inner(const GateConfig& config, std::span<const float> samples,
                                     std::uint64_t sample_rate) {
    if (!config.enabled) return {samples.begin(), samples.end()};
    const std::size_t n = samples.size();
    std::vector<std::uint8_t> mask = compute_keep_mask_inner(config, samples, sample_rate);
    std::vector<float> gains(n);
    for (std::size_t k = 0; k < n; ++k) gains[k] = mask[k] != 0 ? 1.0f : config.attenuation;
    mask = {};

    const std::uint64_t fade_len = fade_length(config, sample_rate);
    std::vector<float> ramped;
    if (fade_len >= 2 && n > 0) {
        ramped.resize(n);
        ramp_gains(gains, fade_len, ramped);
    }
    const std::vector<float>& curve = ramped.empty() ? gains : ramped;
    std::vector<float> out(n);
    for (std::size_t k = 0; k < n; ++k) out[k] = samples[k] * curve[k];
    return out;
}

std::vector<float> apply_array_np_inner(const GateConfig& config, std::span<const float> samples,
                                        std::uint64_t sample_rate) {
    if (!config.enabled) return {samples.begin(), samples.end()};
    const KeepWindows windows = compute_keep_windows_inner(config, samples, sample_rate);
    const std::size_t n = samples.size();
    const std::uint64_t w = windows.window_len;
    const std::size_t n_windows = windows.flags.size();
    const float attenuation = config.attenuation;
    const float* in = samples.data();
    std::vector<float> out(n, 0.0f);
    float* dst = out.data();

    for (std::size_t j = 0; j < n_windows; ++j) {
        const std::uint64_t start = j * w;
        const std::uint64_t count = std::min<std::uint64_t>(w, n - start);
        if (windows.flags[j] != 0) {
            std::memcpy(dst + start, in + start, count * sizeof(float));
        } else if (attenuation != 0.0f) {
            for (std::uint64_t i = start; i < start + count; ++i) dst[i] = in[i] * attenuation;
        }
    }

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
