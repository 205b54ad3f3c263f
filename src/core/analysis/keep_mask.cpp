// Keep-mask analysis: window energies, smoothing, noise floor, threshold and passes.
#include "analysis/keep_mask.hpp"

#include "analysis/energy.hpp"
#include "analysis/noise_rule.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace talvane {

namespace {

constexpr std::uint64_t kMaxWord = std::numeric_limits<std::uint64_t>::max();

using Run = WindowRun;

// Maximal runs of voice windows: smoothed energy strictly above the threshold
// (a NaN on either side is never voice). `Threshold` gives window t's threshold.
template <class Thresholds>
void voice_runs(std::span<const float> smoothed, const Thresholds& threshold, std::vector<Run>& runs) {
    runs.clear();
    bool in_run = false;
    std::size_t start = 0;
    for (std::size_t t = 0; t < smoothed.size(); ++t) {
        const bool voice = is_voice(smoothed[t], threshold(t));
        if (voice != in_run) {
            if (voice) {
                start = t;
            } else {
                runs.push_back({start, t});
            }
            in_run = voice;
        }
    }
    if (in_run) runs.push_back({start, smoothed.size()});
}

// Joins runs that overlap or touch; runs must be sorted by start.
void merge_touching(std::vector<Run>& runs) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (out > 0 && runs[i].start <= runs[out - 1].end) {
            runs[out - 1].end = std::max(runs[out - 1].end, runs[i].end);
        } else {
            runs[out++] = runs[i];
        }
    }
    runs.resize(out);
}

// The four passes on runs rather than on flags: each is a sweep over the runs,
// and no count is ever added to a window index without a bound, so counts up to
// the largest word cannot wrap. The flags come out the same as flag by flag.
void clean_runs(const GateConfig& config, std::vector<Run>& runs, std::size_t n) {
    // Pass 1: short voice runs are dropped (0 or 1 drops nothing).
    std::erase_if(runs, [&](const Run& r) { return r.end - r.start < config.min_voice_windows; });

    // Pass 2: a gap with voice on both sides and at most max_gap windows is filled;
    // gaps are judged as pass 1 left them. Leading and trailing gaps have voice on
    // one side only, so they are never runs' interiors here.
    if (config.max_silence_gap_windows > 0) {
        std::size_t out = 0;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (out > 0 && runs[i].start - runs[out - 1].end <= config.max_silence_gap_windows) {
                runs[out - 1].end = runs[i].end;
            } else {
                runs[out++] = runs[i];
            }
        }
        runs.resize(out);
    }

    // Pass 3: every voice window keeps pad windows on each side, clipped to the recording.
    const std::uint64_t pad = config.pad_voice_windows;
    for (Run& r : runs) {
        r.start -= std::min<std::uint64_t>(r.start, pad);
        r.end += std::min<std::uint64_t>(n - r.end, pad);
    }
    merge_touching(runs);

    // Pass 4: the first pass_windows windows of every dropped stretch are kept, the
    // one at the very start included (the counter starts at 0 before window 0).
    const std::uint64_t pass = config.pass_windows;
    if (pass > 0 && n > 0) {
        for (Run& r : runs) r.end += std::min<std::uint64_t>(n - r.end, pass);
        runs.insert(runs.begin(), Run{0, static_cast<std::size_t>(std::min<std::uint64_t>(n, pass))});
        merge_touching(runs);
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
    const double samples = static_cast<double>(sample_rate) * static_cast<double>(ms) / 1000.0;
    // Halves away from zero (samples >= 0). The whole part and the fraction, not
    // std::round: that is a library call where the processor has no rounding
    // instruction, and streams ask for this on every call. The fraction is exact:
    // below 2^52 a double's whole part and fraction are both representable, above
    // it every double is whole.
    const std::uint64_t whole = saturate_to_u64(samples);
    if (whole == kMaxWord) return kMaxWord;
    return samples - static_cast<double>(whole) >= 0.5 ? whole + 1 : whole;
}

std::uint64_t window_length(const GateConfig& config, std::uint64_t sample_rate) {
    return std::max<std::uint64_t>(1, ms_to_samples(sample_rate, config.window_ms));
}

std::uint64_t window_count(std::uint64_t n_samples, std::uint64_t window_len) {
    // Not (N + W - 1) / W: that wraps when W saturates.
    return n_samples / window_len + (n_samples % window_len != 0 ? 1 : 0);
}

std::vector<float> smooth_energies(std::span<const float> energies, float alpha) {
    std::vector<float> smoothed(energies.size());
    smooth_energies_into(energies, alpha, smoothed);
    return smoothed;
}

void smooth_energies_into(std::span<const float> energies, float alpha, std::span<float> out) {
    if (energies.empty()) return;
    // S[0] goes through the formula too; it is not E[0] copied.
    float running = energies[0];
    for (std::size_t t = 0; t < energies.size(); ++t) {
        running = smooth_step(running, alpha, energies[t]);
        out[t] = running;
    }
}

FloorRanks floor_ranks(std::size_t n, float percentile) {
    float p = percentile;
    if (p < 0.0f) p = 0.0f;
    if (p > 100.0f) p = 100.0f;
    // Position in double: the product first, then the division.
    const double position = static_cast<double>(n - 1) * static_cast<double>(p) / 100.0;
    // floor and ceil of a position >= 0 from its whole part, without std::floor and
    // std::ceil (library calls where the processor has no rounding instruction; a
    // stream asks for each rank on every call).
    const std::uint64_t whole = saturate_to_u64(position);
    const std::uint64_t up = whole != kMaxWord && static_cast<double>(whole) < position ? whole + 1 : whole;
    const std::uint64_t lo = std::min<std::uint64_t>(whole, n - 1);
    const std::uint64_t hi = std::min<std::uint64_t>(up, n - 1);
    return FloorRanks{static_cast<std::size_t>(lo), static_cast<std::size_t>(hi),
                      static_cast<float>(position - static_cast<double>(lo))};
}

float interpolate_floor(float low, float high, const FloorRanks& ranks) {
    if (ranks.lo == ranks.hi) return low;
    const float f = ranks.fraction;
    return high * f + (1.0f - f) * low;
}

RankedKeys select_ranked_keys(std::span<std::uint32_t> keys, std::size_t lo, std::size_t hi) {
    // After nth_element every key past position lo is at least the key there, so
    // the next rank is the smallest of them.
    const auto lo_it = keys.begin() + static_cast<std::ptrdiff_t>(lo);
    std::nth_element(keys.begin(), lo_it, keys.end());
    RankedKeys out{*lo_it, *lo_it};
    if (lo != hi) out.high = *std::min_element(lo_it + 1, keys.end());
    return out;
}

float noise_floor(std::span<const float> smoothed, float percentile) {
    const std::size_t n = smoothed.size();
    if (n == 0) return 0.0f;
    if (n == 1) return smoothed[0];
    const FloorRanks ranks = floor_ranks(n, percentile);
    // Selection gives the same order statistics as a full totalOrder sort.
    std::vector<std::uint32_t> keys(n);
    for (std::size_t t = 0; t < n; ++t) keys[t] = total_order_key(smoothed[t]);
    const RankedKeys found = select_ranked_keys(keys, ranks.lo, ranks.hi);
    return interpolate_floor(from_total_order_key(found.low), from_total_order_key(found.high), ranks);
}

Threshold threshold_for(const GateConfig& config, float floor) {
    Threshold t{floor * config.threshold_ratio, Clamp::none};
    if (t.value < config.base_thresh) t = {config.base_thresh, Clamp::low};
    if (t.value > config.max_thresh) t = {config.max_thresh, Clamp::high};
    return t;
}

void check_threshold_limits(float base_thresh, float max_thresh) {
    if (!threshold_limits_in_order(base_thresh, max_thresh)) {
        throw CheckFailed(threshold_limits_message(base_thresh, max_thresh));
    }
}

std::vector<std::uint8_t> keep_flags(const GateConfig& config, std::span<const float> smoothed,
                                     float threshold) {
    std::vector<std::uint8_t> flags(smoothed.size());
    std::vector<WindowRun> runs;
    keep_flags_into(config, smoothed, threshold, runs, flags);
    return flags;
}

namespace {

// Each window's threshold under the music measure's factor.
std::vector<float> music_thresholds(const GateConfig& config, float threshold, std::span<const MusicValues> music) {
    std::vector<float> out(music.size());
    for (std::size_t t = 0; t < music.size(); ++t) out[t] = raised_threshold(threshold, music[t].factor, config.max_thresh);
    return out;
}

template <class Thresholds>
void flags_into(const GateConfig& config, std::span<const float> smoothed, const Thresholds& threshold,
                std::vector<WindowRun>& runs, std::span<std::uint8_t> out) {
    const std::size_t n = smoothed.size();
    if (n == 0) return;  // memset may not be given the null pointer of an empty span
    voice_runs(smoothed, threshold, runs);
    clean_runs(config, runs, n);
    std::memset(out.data(), 0, n);
    for (const Run& r : runs) std::memset(out.data() + r.start, 1, r.end - r.start);
}

}  // namespace

void keep_flags_into(const GateConfig& config, std::span<const float> smoothed, float threshold,
                     std::vector<WindowRun>& runs, std::span<std::uint8_t> out) {
    flags_into(config, smoothed, [threshold](std::size_t) { return threshold; }, runs, out);
}

void keep_flags_into(const GateConfig& config, std::span<const float> smoothed, std::span<const float> thresholds,
                     std::vector<WindowRun>& runs, std::span<std::uint8_t> out) {
    flags_into(config, smoothed, [thresholds](std::size_t t) { return thresholds[t]; }, runs, out);
}

KeepWindows compute_keep_windows_inner(const GateConfig& config, std::span<const float> samples,
                                       std::uint64_t sample_rate) {
    // The check depends on nothing computed from the samples; making it first
    // saves the work of an analysis that would fail anyway.
    check_threshold_limits(config.base_thresh, config.max_thresh);
    const std::uint64_t window_len = window_length(config, sample_rate);
    return KeepWindows{decide(config, window_energies(samples, window_len)).keep, window_len};
}

Decision decide(const GateConfig& config, std::span<const float> energies, ThresholdRule rule,
                std::span<const MusicValues> music) {
    Decision d;
    d.smoothed = smooth_energies(energies, config.smooth_alpha);
    if (rule == ThresholdRule::noise) {
        const RuleStats stats = rule_stats(d.smoothed, config.noise_floor_percentile);
        const RuleThreshold t = noise_rule_threshold(config, stats.floor, stats.high);
        d.floor = stats.floor;
        d.threshold = t.threshold;
        d.high = stats.high;
        d.ratio = t.ratio;
    } else {
        d.floor = noise_floor(d.smoothed, config.noise_floor_percentile);
        d.threshold = threshold_for(config, d.floor);
        d.high = std::numeric_limits<float>::quiet_NaN();
        d.ratio = config.threshold_ratio;
    }
    if (music.empty()) {
        d.keep = keep_flags(config, d.smoothed, d.threshold.value);
        return d;
    }
    d.keep.resize(d.smoothed.size());
    d.thresholds = music_thresholds(config, d.threshold.value, music);
    std::vector<WindowRun> runs;
    keep_flags_into(config, d.smoothed, d.thresholds, runs, d.keep);
    return d;
}

std::vector<float> filtered_window_energies(BandFilter& filter, std::span<const float> samples,
                                            std::uint64_t window_len, MusicSpectra* music) {
    // About 64 KiB of filtered samples at a time, in whole windows, so that they are
    // summed while still in cache; a longer window is filtered whole.
    constexpr std::uint64_t kBufferSamples = 16384;
    const std::uint64_t n = samples.size();
    const std::uint64_t n_windows = window_count(n, window_len);
    const std::uint64_t per_buffer = std::max<std::uint64_t>(1, kBufferSamples / window_len);
    std::vector<float> energies(n_windows);
    std::vector<float> filtered(static_cast<std::size_t>(std::min(n, per_buffer * std::min(window_len, n))));
    for (std::uint64_t first = 0; first < n_windows; first += per_buffer) {
        const std::uint64_t start = first * window_len;  // below n, so no wrap
        const std::uint64_t windows = std::min(per_buffer, n_windows - first);
        const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(n - start, windows * window_len));
        const std::span<float> part(filtered.data(), len);
        filter.process(samples.subspan(static_cast<std::size_t>(start), len), part);
        if (music != nullptr) music->take(part);
        window_energies_range(part, window_len, 0, windows, energies.data() + first);
    }
    return energies;
}

AnalysisView analyse_inner(const GateConfig& config, std::span<const float> samples, std::uint64_t sample_rate,
                           const std::optional<BandEdges>& band, ThresholdRule rule, bool music) {
    check_threshold_limits(config.base_thresh, config.max_thresh);
    AnalysisView view;
    view.window_len = window_length(config, sample_rate);
    std::optional<MusicSpectra> spectra;
    if (music) spectra.emplace(sample_rate, view.window_len);
    if (band) {
        BandFilter filter(*band, sample_rate);
        view.energies = filtered_window_energies(filter, samples, view.window_len, spectra ? &*spectra : nullptr);
    } else {
        view.energies = window_energies(samples, view.window_len);
        if (spectra) spectra->take(samples);
    }
    if (spectra) view.music = spectra->per_window(view.window_len, samples.size());
    view.decision = decide(config, view.energies, rule, view.music);
    view.voice.resize(view.energies.size());
    const std::vector<float>& thresholds = view.decision.thresholds;
    for (std::size_t t = 0; t < view.voice.size(); ++t) {
        const float threshold = music ? thresholds[t] : view.decision.threshold.value;
        view.voice[t] = is_voice(view.decision.smoothed[t], threshold) ? 1 : 0;
    }
    return view;
}

FlagBuffer expand_flags(std::span<const std::uint8_t> flags, std::uint64_t window_len,
                        std::size_t n_samples) {
    // Every sample written once, a run of equal flags at a time: clearing the
    // buffer first and then setting the kept runs would write most of it twice.
    FlagBuffer mask = unfilled_flags(n_samples);
    std::uint64_t done = 0;  // samples written
    for (std::size_t t = 0; t < flags.size() && done < n_samples;) {
        const std::uint8_t keep = flags[t] != 0 ? 1 : 0;
        std::size_t end = t + 1;
        while (end < flags.size() && (flags[end] != 0 ? 1 : 0) == keep) ++end;
        // Tested before multiplying, so a huge window_len cannot wrap the product.
        const std::uint64_t stop = end <= n_samples / window_len ? end * window_len : n_samples;
        std::memset(mask.data() + done, keep, stop - done);
        done = stop;
        t = end;
    }
    if (done < n_samples) std::memset(mask.data() + done, 0, n_samples - done);  // no flag covers these
    return mask;
}

std::vector<SampleRun> kept_runs(std::span<const std::uint8_t> flags, std::uint64_t window_len,
                                 std::size_t n_samples) {
    std::vector<SampleRun> runs;
    for (std::size_t t = 0; t < flags.size();) {
        if (flags[t] == 0) { ++t; continue; }
        const std::size_t first = t;
        while (t < flags.size() && flags[t] != 0) ++t;
        runs.push_back({first * window_len, std::min<std::uint64_t>(t * window_len, n_samples)});
    }
    return runs;
}

FlagBuffer compute_keep_mask_inner(const GateConfig& config, std::span<const float> samples,
                                   std::uint64_t sample_rate) {
    if (samples.empty()) return {};
    KeepWindows windows = compute_keep_windows_inner(config, samples, sample_rate);
    return expand_flags(windows.flags, windows.window_len, samples.size());
}

}  // namespace talvane
