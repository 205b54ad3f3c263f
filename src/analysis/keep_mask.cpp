// Keep-mask analysis: window energies, smoothing, noise floor, threshold and passes.
#include "analysis/keep_mask.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace talvane {

namespace {

constexpr std::uint64_t kMaxWord = std::numeric_limits<std::uint64_t>::max();

// Maps a float's bits to an unsigned key whose order is IEEE totalOrder:
// negative NaNs, -inf .. -0, +0 .. +inf, positive NaNs.
std::uint32_t total_order_key(float value) {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    return (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
}

float from_total_order_key(std::uint32_t key) {
    std::uint32_t bits = (key & 0x80000000u) != 0 ? (key & 0x7fffffffu) : ~key;
    return std::bit_cast<float>(bits);
}

std::vector<float> smooth(std::span<const float> energies, float alpha) {
    std::vector<float> smoothed(energies.size());
    if (energies.empty()) return smoothed;
    // S[0] goes through the formula too; it is not E[0] copied.
    float running = energies[0];
    for (std::size_t t = 0; t < energies.size(); ++t) {
        running = (1.0f - alpha) * running + alpha * energies[t];
        smoothed[t] = running;
    }
    return smoothed;
}

void remove_short_runs(std::vector<std::uint8_t>& voice, std::uint64_t min_run) {
    const std::size_t n = voice.size();
    std::size_t t = 0;
    while (t < n) {
        if (voice[t] == 0) { ++t; continue; }
        std::size_t start = t;
        while (t < n && voice[t] != 0) ++t;
        if (t - start < min_run) std::fill(voice.begin() + static_cast<std::ptrdiff_t>(start),
                                           voice.begin() + static_cast<std::ptrdiff_t>(t), 0);
    }
}

// Fills gaps with voice on both sides whose length is at most max_gap; leading and
// trailing gaps stay. Each gap is judged on the flags as they were before filling.
void fill_gaps(std::vector<std::uint8_t>& voice, std::uint64_t max_gap) {
    if (max_gap == 0) return;
    const std::size_t n = voice.size();
    bool seen_voice = false;
    std::size_t gap_start = 0;
    for (std::size_t t = 0; t < n; ++t) {
        if (voice[t] == 0) continue;
        if (seen_voice && t > gap_start && t - gap_start <= max_gap) {
            std::fill(voice.begin() + static_cast<std::ptrdiff_t>(gap_start),
                      voice.begin() + static_cast<std::ptrdiff_t>(t), 1);
        }
        seen_voice = true;
        gap_start = t + 1;
    }
}

// Window j is set when some voice window k has |j - k| <= pad. Two sweeps (nearest
// voice at or before j, nearest at or after j) give that without wrapping j +- pad.
std::vector<std::uint8_t> pad_voice(const std::vector<std::uint8_t>& voice, std::uint64_t pad) {
    const std::size_t n = voice.size();
    std::vector<std::uint8_t> padded(n, 0);
    bool have = false;
    std::size_t nearest = 0;
    for (std::size_t j = 0; j < n; ++j) {
        if (voice[j] != 0) { have = true; nearest = j; }
        if (have && j - nearest <= pad) padded[j] = 1;
    }
    have = false;
    for (std::size_t j = n; j-- > 0;) {
        if (voice[j] != 0) { have = true; nearest = j; }
        if (have && nearest - j <= pad) padded[j] = 1;
    }
    return padded;
}

// Keeps the first pass_windows windows of every dropped stretch, the leading one too.
void keep_pass_windows(std::vector<std::uint8_t>& flags, std::uint64_t pass_windows) {
    std::uint64_t since_voice = 0;  // cannot exceed the window count, so never wraps
    for (auto& flag : flags) {
        if (flag != 0) {
            since_voice = 0;
        } else {
            ++since_voice;
            if (since_voice <= pass_windows) flag = 1;
        }
    }
}

}  // namespace

std::uint64_t saturate_to_u64(double d) {
    if (!(d > 0.0)) return 0;
    // 2^64 itself is out of range: the cast would be undefined there.
    if (d >= 18446744073709551616.0) return kMaxWord;
    return static_cast<std::uint64_t>(d);
}

std::uint64_t ms_to_samples(std::uint64_t sample_rate, std::uint64_t ms) {
    // Double on purpose: the product of two words may exceed any integer type.
    double samples = static_cast<double>(sample_rate) * static_cast<double>(ms) / 1000.0;
    return saturate_to_u64(std::round(samples));  // halves away from zero
}

std::uint64_t window_length(const GateConfig& config, std::uint64_t sample_rate) {
    return std::max<std::uint64_t>(1, ms_to_samples(sample_rate, config.window_ms));
}

std::uint64_t window_count(std::uint64_t n_samples, std::uint64_t window_len) {
    // Not (N + W - 1) / W: that wraps when W saturates.
    return n_samples / window_len + (n_samples % window_len != 0 ? 1 : 0);
}

std::vector<float> window_energies(std::span<const float> samples, std::uint64_t window_len) {
    const std::uint64_t n_windows = window_count(samples.size(), window_len);
    std::vector<float> energies(n_windows);
    const float* data = samples.data();
    for (std::uint64_t t = 0; t < n_windows; ++t) {
        const std::uint64_t start = t * window_len;
        const std::uint64_t count = std::min<std::uint64_t>(window_len, samples.size() - start);
        float sum = 0.0f;
        for (std::uint64_t i = 0; i < count; ++i) {
            float x = data[start + i];
            sum = sum + x * x;
        }
        energies[t] = std::sqrt(sum / static_cast<float>(count));
    }
    return energies;
}

float noise_floor(std::span<const float> smoothed, float percentile) {
    const std::size_t n = smoothed.size();
    if (n == 0) return 0.0f;
    if (n == 1) return smoothed[0];
    float p = percentile;
    if (p < 0.0f) p = 0.0f;
    if (p > 100.0f) p = 100.0f;
    // Position in double: the product first, then the division.
    double position = static_cast<double>(n - 1) * static_cast<double>(p) / 100.0;
    std::uint64_t lo = std::min<std::uint64_t>(saturate_to_u64(std::floor(position)), n - 1);
    std::uint64_t hi = std::min<std::uint64_t>(saturate_to_u64(std::ceil(position)), n - 1);

    // Selection gives the same order statistics as a full totalOrder sort.
    std::vector<std::uint32_t> keys(n);
    for (std::size_t t = 0; t < n; ++t) keys[t] = total_order_key(smoothed[t]);
    auto lo_it = keys.begin() + static_cast<std::ptrdiff_t>(lo);
    std::nth_element(keys.begin(), lo_it, keys.end());
    const float low = from_total_order_key(*lo_it);
    if (lo == hi) return low;
    const float high = from_total_order_key(*std::min_element(lo_it + 1, keys.end()));
    const float f = static_cast<float>(position - static_cast<double>(lo));
    return high * f + (1.0f - f) * low;
}

std::string format_float(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0.0f ? "-inf" : "inf";
    std::string sign = std::signbit(value) ? "-" : "";
    float magnitude = std::fabs(value);
    if (magnitude == 0.0f) return sign + "0.0";

    // Shortest round-trip digits, read off the scientific form "d.ddde[+-]xx".
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    std::string text(buf, res.ptr);
    std::size_t e_pos = text.find('e');
    std::string digits = text.substr(0, e_pos);
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    int exponent = std::stoi(text.substr(e_pos + 1));

    if (magnitude < 1e-4f || magnitude >= 1e16f) {
        std::string out = sign + digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        return out + "e" + std::to_string(exponent);
    }
    std::string int_part, frac_part;
    if (exponent >= 0) {
        const auto int_len = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= int_len) {
            int_part = digits + std::string(int_len - digits.size(), '0');
        } else {
            int_part = digits.substr(0, int_len);
            frac_part = digits.substr(int_len);
        }
    } else {
        int_part = "0";
        frac_part = std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
    if (frac_part.empty()) frac_part = "0";
    return sign + int_part + "." + frac_part;
}

void check_threshold_limits(float base_thresh, float max_thresh) {
    if (!(base_thresh <= max_thresh)) {
        throw CheckFailed("min > max, or either was NaN. min = " + format_float(base_thresh) +
                          ", max = " + format_float(max_thresh));
    }
}

std::vector<std::uint8_t> keep_flags(const GateConfig& config, std::span<const float> smoothed,
                                     float threshold) {
    std::vector<std::uint8_t> voice(smoothed.size());
    for (std::size_t t = 0; t < smoothed.size(); ++t) voice[t] = smoothed[t] > threshold ? 1 : 0;
    remove_short_runs(voice, config.min_voice_windows);
    fill_gaps(voice, config.max_silence_gap_windows);
    std::vector<std::uint8_t> flags = pad_voice(voice, config.pad_voice_windows);
    keep_pass_windows(flags, config.pass_windows);
    return flags;
}

KeepWindows compute_keep_windows_inner(const GateConfig& config, std::span<const float> samples,
                                       std::uint64_t sample_rate) {
    // The check depends on nothing computed from the samples; making it first
    // saves the work of an analysis that would fail anyway.
    check_threshold_limits(config.base_thresh, config.max_thresh);
    const std::uint64_t window_len = window_length(config, sample_rate);
    std::vector<float> smoothed = smooth(window_energies(samples, window_len), config.smooth_alpha);
    const float floor = noise_floor(smoothed, config.noise_floor_percentile);
    float threshold = floor * config.threshold_ratio;
    if (threshold < config.base_thresh) threshold = config.base_thresh;
    if (threshold > config.max_thresh) threshold = config.max_thresh;
    return KeepWindows{keep_flags(config, smoothed, threshold), window_len};
}

std::vector<std::uint8_t> expand_flags(std::span<const std::uint8_t> flags,
                                       std::uint64_t window_len, std::size_t n_samples) {
    std::vector<std::uint8_t> mask(n_samples);
    for (std::size_t t = 0; t < flags.size(); ++t) {
        if (flags[t] == 0) continue;
        const std::uint64_t start = t * window_len;
        const std::uint64_t count = std::min<std::uint64_t>(window_len, n_samples - start);
        std::memset(mask.data() + start, 1, count);
    }
    return mask;
}

std::vector<std::uint8_t> compute_keep_mask_inner(const GateConfig& config,
                                                  std::span<const float> samples,
                                                  std::uint64_t sample_rate) {
    if (samples.empty()) return {};
    KeepWindows windows = compute_keep_windows_inner(config, samples, sample_rate);
    return expand_flags(windows.flags, windows.window_len, samples.size());
}

}  // namespace talvane
