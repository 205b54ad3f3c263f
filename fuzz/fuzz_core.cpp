// libFuzzer target for the DSP core: analysis, ramp rule, both apply paths,
// compaction, sequences of streaming calls, the band filter and live streams of
// any sample type and channel count, each checked against its invariants.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "analysis/band_filter.hpp"
#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"
#include "batch/compact.hpp"
#include "batch/gain.hpp"
#include "core_helpers.hpp"
#include "streaming/live_stream.hpp"
#include "streaming/stream_state.hpp"

namespace {

using talvane::GateConfig;

constexpr std::uint64_t kMaxWord = std::numeric_limits<std::uint64_t>::max();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::size_t kMaxSamples = 8192;
constexpr std::size_t kMaxChunk = 4096;  // samples
// The reference ramp writes every sample of every ramp, O(transitions * fade);
// past this many writes it is skipped so that one input stays fast.
constexpr std::uint64_t kMaxReferenceWork = std::uint64_t{1} << 18;

[[noreturn]] void broken(const char* what, std::size_t where) {
    std::fprintf(stderr, "invariant broken: %s (index %zu)\n", what, where);
    std::abort();
}

void check(bool ok, const char* what, std::size_t where = 0) {
    if (!ok) broken(what, where);
}

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Bit-exact, except that a NaN matches any NaN: the sign of a NaN made in
// arithmetic is not fixed.
bool same_value(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return bits(a) == bits(b);
}

bool limits_in_order(const GateConfig& config) { return config.base_thresh <= config.max_thresh; }

// ---- inputs drawn from the fuzzer's bytes

// Each picker gives the usual value when the input has run out (the provider then
// returns 0s), so short inputs describe realistic gates.
std::uint64_t pick_count(FuzzedDataProvider& in, std::uint64_t usual) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 1: return 0;
        case 2: return 1;
        case 3: return in.ConsumeIntegralInRange<std::uint64_t>(2, 12);
        case 4: return in.ConsumeIntegralInRange<std::uint64_t>(0, 5000);
        case 5: return kMaxWord;
        case 6: return in.ConsumeIntegral<std::uint64_t>();
        default: return usual;
    }
}

float pick_float(FuzzedDataProvider& in, float usual) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 1: return 0.0f;
        case 2: return -0.0f;
        case 3: return 1.0f;
        case 4: return kNaN;
        case 5: return kInf;
        case 6: return -kInf;
        case 7: return std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>());
        case 8: return in.ConsumeFloatingPointInRange<float>(-2.0f, 2.0f);
        case 9: return in.ConsumeFloatingPointInRange<float>(0.0f, 0.1f);
        default: return usual;
    }
}

std::uint64_t pick_rate(FuzzedDataProvider& in) {
    static constexpr std::uint64_t kRates[] = {16000, 1000, 8000, 44100, 0, 1, 2, 50, 100, 200, 300};
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 2: return in.ConsumeIntegralInRange<std::uint64_t>(0, 50000);
        case 3: return in.ConsumeBool() ? kMaxWord : in.ConsumeIntegral<std::uint64_t>();
        default: return kRates[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kRates) - 1)];
    }
}

GateConfig pick_config(FuzzedDataProvider& in) {
    const GateConfig usual;
    GateConfig c;
    c.enabled = in.ConsumeIntegralInRange<int>(0, 3) != 3;
    c.window_ms = pick_count(in, usual.window_ms);
    c.base_thresh = pick_float(in, usual.base_thresh);
    c.threshold_ratio = pick_float(in, usual.threshold_ratio);
    c.max_thresh = pick_float(in, usual.max_thresh);
    c.smooth_alpha = pick_float(in, usual.smooth_alpha);
    c.min_voice_windows = pick_count(in, usual.min_voice_windows);
    c.attenuation = pick_float(in, usual.attenuation);
    c.noise_floor_percentile = pick_float(in, usual.noise_floor_percentile);
    c.max_silence_gap_windows = pick_count(in, usual.max_silence_gap_windows);
    c.fade_ms = pick_count(in, usual.fade_ms);
    c.stream_context_ms = pick_count(in, usual.stream_context_ms);
    c.pad_voice_windows = pick_count(in, usual.pad_voice_windows);
    c.pass_windows = pick_count(in, usual.pass_windows);
    return c;
}

// Samples from raw float bits, or from scaled bytes tiled to a longer length so
// that a few bytes can make many windows; special values sprinkled in.
std::vector<float> pick_samples(FuzzedDataProvider& in) {
    std::vector<float> x;
    if (in.ConsumeBool()) {
        const auto n = in.ConsumeIntegralInRange<std::size_t>(0, 256);
        for (std::size_t i = 0; i < n && in.remaining_bytes() >= 4; ++i) {
            x.push_back(std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>()));
        }
        return x;
    }
    static constexpr float kScales[] = {1.0f / 128, 1.0f / 4096, 1e-5f, 0.05f, 3e19f, 0.0f};
    const float scale = kScales[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kScales) - 1)];
    const auto n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxSamples);
    const auto pattern_len = in.ConsumeIntegralInRange<std::size_t>(1, 64);
    const std::vector<std::uint8_t> pattern = in.ConsumeBytes<std::uint8_t>(pattern_len);
    if (pattern.empty()) return x;
    x.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = static_cast<float>(static_cast<std::int8_t>(pattern[i % pattern.size()])) * scale;
    }
    const auto specials = in.ConsumeIntegralInRange<int>(0, 3);
    for (int s = 0; s < specials && n > 0; ++s) {
        static constexpr float kSpecial[] = {kNaN, kInf, -kInf, -0.0f, 1e30f};
        x[in.ConsumeIntegralInRange<std::size_t>(0, n - 1)] =
            kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
    }
    return x;
}

// ---- references written from the rules, not from the kernels

std::uint64_t ramp_work(std::span<const float> g, std::uint64_t fade_len) {
    std::uint64_t transitions = 1;  // the entry ramp
    for (std::size_t i = 1; i < g.size(); ++i) transitions += g[i] != g[i - 1] ? 1 : 0;
    return transitions * std::min<std::uint64_t>(fade_len, g.size());
}

// The gain ramp rule as written: a copy of g, the entry ramp, then every
// transition ramp in order, each overwriting what came before.
std::vector<float> reference_ramp(std::span<const float> g, std::uint64_t fade_len,
                                  std::optional<float> entry) {
    const std::size_t n = g.size();
    std::vector<float> r(g.begin(), g.end());
    if (entry.has_value() && *entry != g[0]) {
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(n, fade_len));
        for (std::size_t k = 1; k <= len; ++k) {
            r[k - 1] = *entry + (g[0] - *entry) * (static_cast<float>(k) / static_cast<float>(len));
        }
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (g[i] == g[i - 1]) continue;
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(fade_len, n - i));
        const float old_gain = g[i - 1], delta = g[i] - g[i - 1];
        for (std::size_t k = 1; k <= len; ++k) {
            r[i + k - 1] = old_gain + delta * (static_cast<float>(k) / static_cast<float>(len));
        }
    }
    return r;
}

std::vector<float> reference_energies(std::span<const float> x, std::uint64_t w) {
    std::vector<float> e;
    std::size_t end = 0;
    for (std::size_t start = 0; start < x.size(); start = end) {
        end = start + static_cast<std::size_t>(std::min<std::uint64_t>(w, x.size() - start));
        float sum = 0.0f;
        for (std::size_t i = start; i < end; ++i) sum = sum + x[i] * x[i];
        e.push_back(std::sqrt(sum / static_cast<float>(end - start)));
    }
    return e;
}

std::uint32_t total_order_key(float v) {
    const std::uint32_t b = bits(v);
    return (b & 0x80000000u) != 0 ? ~b : (b | 0x80000000u);
}

float reference_floor(std::span<const float> s, float percentile) {
    const std::size_t n = s.size();
    if (n == 0) return 0.0f;
    if (n == 1) return s[0];
    std::vector<float> sorted(s.begin(), s.end());
    std::sort(sorted.begin(), sorted.end(),
              [](float a, float b) { return total_order_key(a) < total_order_key(b); });
    float p = percentile;
    if (p < 0.0f) p = 0.0f;
    if (p > 100.0f) p = 100.0f;
    const double r = static_cast<double>(n - 1) * static_cast<double>(p) / 100.0;
    if (std::isnan(r)) return sorted[0];
    const auto lo = static_cast<std::size_t>(std::floor(r));
    const auto hi = static_cast<std::size_t>(std::ceil(r));
    if (lo == hi) return sorted[lo];
    const auto f = static_cast<float>(r - static_cast<double>(lo));
    return sorted[hi] * f + (1.0f - f) * sorted[lo];
}

// ---- checks

void check_format(float v) {
    const std::string text = talvane::format_float(v);
    if (std::isnan(v)) return check(text == "NaN", "format of NaN");
    if (std::isinf(v)) return check(text == (v < 0 ? "-inf" : "inf"), "format of infinity");
    float back = 0.0f;
    const char* first = text.data();
    if (*first == '-') ++first;
    const auto res = std::from_chars(first, text.data() + text.size(), back);
    check(res.ec == std::errc() && res.ptr == text.data() + text.size(), "format does not parse");
    if (text[0] == '-') back = -back;
    check(bits(back) == bits(v), "format does not read back");
    check(text.find('e') != std::string::npos || text.find('.') != std::string::npos, "format has no point");
}

void check_ramp_rule(FuzzedDataProvider& in) {
    static constexpr float kGains[] = {0.0f, 1.0f, 0.5f, -0.0f, kNaN, kInf, 0.1f};
    const auto n = in.ConsumeIntegralInRange<std::size_t>(0, 300);
    std::vector<float> g(n);
    for (auto& v : g) v = kGains[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kGains) - 1)];
    const std::uint64_t fade_len = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(2, 40)
                                                    : std::max<std::uint64_t>(2, pick_count(in, 2));
    std::optional<float> entry;
    if (in.ConsumeBool()) entry = kGains[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kGains) - 1)];
    std::vector<float> curve = g;
    talvane::ramp_gains(curve, fade_len, entry.has_value() ? &*entry : nullptr);
    if (n == 0) return;
    const std::vector<float> expected = reference_ramp(g, fade_len, entry);
    for (std::size_t k = 0; k < n; ++k) check(same_value(curve[k], expected[k]), "ramp rule", k);
}

void check_batch(const GateConfig& config, std::span<const float> x, std::uint64_t rate,
                 std::size_t first_window_share) {
    const std::size_t n = x.size();
    const bool ok = limits_in_order(config);
    const std::uint64_t w = talvane::window_length(config, rate);
    check(w >= 1, "window length below 1");

    std::optional<talvane::KeepWindows> windows;
    try {
        windows = talvane::compute_keep_windows_inner(config, x, rate);
    } catch (const talvane::CheckFailed&) {
    }
    check(windows.has_value() == ok, "analysis check disagrees with the limits");

    talvane::FlagBuffer mask;
    bool mask_made = true;
    try {
        mask = talvane::compute_keep_mask_inner(config, x, rate);
    } catch (const talvane::CheckFailed&) {
        mask_made = false;
    }
    check(mask_made == (ok || n == 0), "mask check disagrees with the limits");
    if (mask_made) check(mask.size() == n, "mask length");

    if (windows.has_value()) {
        const auto& flags = windows->flags;
        check(windows->window_len == w, "window length differs");
        check(flags.size() == talvane::window_count(n, w), "window count");
        for (std::size_t t = 0; t < flags.size(); ++t) check(flags[t] <= 1, "flag not 0 or 1", t);
        for (std::size_t i = 0; i < n; ++i) check(mask[i] == flags[i / w], "mask is not the spread flags", i);
    }

    const std::vector<float> energies = talvane::window_energies(x, w);
    const std::vector<float> expected_energies = reference_energies(x, w);
    check(energies.size() == expected_energies.size(), "energy count");
    for (std::size_t t = 0; t < energies.size(); ++t) {
        check(same_value(energies[t], expected_energies[t]), "window energy", t);
    }
    // Every code path this processor runs, over a range of windows.
    const std::size_t n_windows = energies.size();
    const std::size_t first = n_windows == 0 ? 0 : n_windows * first_window_share / 256;
    std::vector<float> part(n_windows - first);
    for (const talvane::EnergyPath& path : talvane::energy_paths()) {
        if (!path.available()) continue;
        std::fill(part.begin(), part.end(), -1.0f);
        path.run(x.data(), n, w, first, n_windows, part.data());
        for (std::size_t t = first; t < n_windows; ++t) {
            check(same_value(part[t - first], expected_energies[t]), path.name, t);
        }
    }
    check(same_value(talvane::noise_floor(energies, config.noise_floor_percentile),
                     reference_floor(energies, config.noise_floor_percentile)),
          "noise floor");

    // List path.
    std::optional<talvane::SampleBuffer> listed;
    try {
        listed = talvane::apply_array_inner(config, x, rate);
    } catch (const talvane::CheckFailed&) {
    }
    check(listed.has_value() == (!config.enabled || n == 0 || ok), "apply_array check");
    if (listed.has_value()) {
        check(listed->size() == n, "apply_array length");
        if (!config.enabled) {
            for (std::size_t k = 0; k < n; ++k) check(bits((*listed)[k]) == bits(x[k]), "disabled copy", k);
        } else if (n > 0) {
            std::vector<float> g(n);
            for (std::size_t k = 0; k < n; ++k) g[k] = mask[k] != 0 ? 1.0f : config.attenuation;
            const std::uint64_t fade_len = talvane::fade_length(config, rate);
            if (fade_len < 2 || ramp_work(g, fade_len) <= kMaxReferenceWork) {
                const std::vector<float> r = fade_len >= 2 ? reference_ramp(g, fade_len, std::nullopt) : g;
                for (std::size_t k = 0; k < n; ++k) {
                    check(same_value((*listed)[k], x[k] * r[k]), "apply_array value", k);
                }
            }
        }
    }

    // Array path: runs the analysis also for empty input.
    std::optional<talvane::SampleBuffer> arrayed;
    try {
        arrayed = talvane::apply_array_np_inner(config, x, rate);
    } catch (const talvane::CheckFailed&) {
    }
    check(arrayed.has_value() == (!config.enabled || ok), "apply_array_np check");
    if (arrayed.has_value()) {
        check(arrayed->size() == n, "apply_array_np length");
        if (listed.has_value()) {
            // Equal everywhere but dropped samples outside ramps with attenuation 0,
            // which the array path leaves at +0.0 and the list path multiplies.
            for (std::size_t k = 0; k < n; ++k) {
                const float a = (*arrayed)[k], l = (*listed)[k];
                if (same_value(a, l)) continue;
                check(config.enabled && config.attenuation == 0.0f && mask[k] == 0 && bits(a) == 0 &&
                          (l == 0.0f || std::isnan(l)),
                      "apply paths disagree", k);
            }
        }
    }

    // Compaction: no analysis for empty input.
    std::optional<talvane::SampleBuffer> compacted;
    try {
        compacted = talvane::compact_array_inner(config, x, rate);
    } catch (const talvane::CheckFailed&) {
    }
    check(compacted.has_value() == (n == 0 || ok), "compact_array check");
    if (compacted.has_value() && n > 0) {
        std::vector<float> expected;
        for (std::size_t k = 0; k < n; ++k) {
            if (mask[k] != 0) expected.push_back(x[k]);
        }
        if (expected.empty()) {
            const auto head = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(rate / 2, n));
            expected.assign(x.begin(), x.begin() + head);
        }
        check(compacted->size() == expected.size(), "compact length");
        for (std::size_t k = 0; k < expected.size(); ++k) {
            check(bits((*compacted)[k]) == bits(expected[k]), "compacted sample is not the kept input", k);
        }
    } else if (compacted.has_value()) {
        check(compacted->empty(), "compact of nothing");
    }
}

// What a stream should hold, kept from the rules of the streaming gate.
struct StreamModel {
    std::optional<std::uint64_t> rate;
    std::vector<float> context;
    std::optional<float> last_gain;
};

void check_state(const talvane::StreamState& state, const StreamModel& model) {
    check(state.stream_rate == model.rate, "stream rate");
    const std::vector<float> context = talvane::held_values(state.context);
    check(context.size() == model.context.size(), "context length");
    for (std::size_t i = 0; i < model.context.size(); ++i) {
        check(bits(context[i]) == bits(model.context[i]), "context sample", i);
    }
    check(state.last_gain.has_value() == model.last_gain.has_value(), "last gain presence");
    if (model.last_gain.has_value()) check(same_value(*state.last_gain, *model.last_gain), "last gain");
    if (!state.stream_rate.has_value()) check(context.empty() && !state.last_gain.has_value(), "idle state");
}

// What the stream keeps, against the rules and the samples it has seen: the store's
// slots hold the energies of the windows where they lie; every live run's values
// follow the smoothing recurrence over the windows' energies and hold no NaN, so a
// restart that meets one goes on with its values; each run's trackers hold the keys
// of its settled windows (those in their range held in order, the rest counted),
// or borrow them from the floor's tracker when it holds every key.
// `ranks`: the trackers a run keeps up, the floor's and, under the noise rule, the high one's.
void check_caches(const talvane::StreamCaches& caches, const GateConfig& config, std::span<const float> history,
                  std::size_t ranks) {
    const talvane::WindowStore& store = caches.store;
    if (store.lattice.window_len != 0) {
        const std::uint64_t w = store.lattice.window_len;
        const std::span<const float> held = store.energies.view();
        check(store.end <= history.size() && store.lattice.phases() <= talvane::kMaxPhases, "store's lattice");
        for (std::size_t i = 0; i < held.size(); ++i) {
            const std::uint64_t start = store.lattice.offset + (store.first + i) * store.lattice.block;
            check(start + w <= store.end, "store slot incomplete", i);
            check(same_value(reference_energies(history.subspan(start, w), w)[0], held[i]), "store energy", i);
        }
    }
    for (const talvane::GridRun& run : caches.runs) {
        if (!run.live) continue;
        const std::uint64_t w = store.lattice.window_len;
        const std::span<const float> v = run.smoothed.view();
        check(w != 0 && run.start + v.size() * w <= history.size() && run.settled <= v.size(), "run's windows");
        const std::vector<float> e = reference_energies(history.subspan(run.start, v.size() * w), w);
        for (std::size_t k = 0; k < v.size(); ++k) {
            check(!std::isnan(v[k]), "NaN in a run", k);
            const float next = k > 0 ? (1.0f - config.smooth_alpha) * v[k - 1] + config.smooth_alpha * e[k] : v[k];
            check(bits(next) == bits(v[k]), "run off the smoothing recurrence", k);
        }
        for (std::size_t id = 0; id < ranks; ++id) {
            const talvane::RankTracker& tracker = run.ranks[id];
            if (tracker.borrows()) {
                // It holds nothing, and selects among the floor's tracker's keys: all of them.
                check(id != talvane::kFloorRank && run.ranks[talvane::kFloorRank].holds_all() && tracker.held().empty(),
                      "a borrowing tracker beside a floor tracker that holds every key");
                continue;
            }
            std::vector<std::uint32_t> expected;
            std::size_t below = 0, above = 0;
            for (std::size_t k = run.settled; k < v.size(); ++k) {
                const std::uint32_t key = talvane::total_order_key(v[k]);
                below += key < tracker.low() ? 1 : 0;
                above += key > tracker.high() ? 1 : 0;
                if (key >= tracker.low() && key <= tracker.high()) expected.push_back(key);
            }
            std::sort(expected.begin(), expected.end());
            check(std::ranges::equal(expected, tracker.held()), "tracker's held keys");
            check(below == tracker.below() && above == tracker.above(), "tracker's counts");
        }
    }
}

// The per-sample mask of the batch analysis under the noise-relative rule.
talvane::FlagBuffer noise_rule_mask(const GateConfig& config, std::span<const float> samples, std::uint64_t rate) {
    const talvane::AnalysisView view =
        talvane::analyse_inner(config, samples, rate, std::nullopt, talvane::ThresholdRule::noise);
    return talvane::expand_flags(view.decision.keep, view.window_len, samples.size());
}

// How a stream's chunk lengths are drawn: any length (now and then the last one
// again), powers of two at 44.1 kHz with a short context (their grid returns only
// every 441 calls), or a new length every call around the window length.
enum class Lengths { any, pow2_44k, changing };

void check_stream(GateConfig config, FuzzedDataProvider& in, std::span<const float> pool, Lengths lengths) {
    talvane::StreamState state;
    StreamModel model;
    std::uint64_t rates[2] = {pick_rate(in), pick_rate(in)};
    // The noise-relative rule, whose high rank a second tracker follows (or borrows
    // the floor's keys for), now and then.
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) state.rule = talvane::ThresholdRule::noise;
    if (lengths != Lengths::any) {
        // Contexts a few calls long, so that the grid moves within the calls, and one
        // of many windows, where grids that do not come back are analysed from bounds.
        static constexpr std::uint64_t kContextsMs[] = {20, 50, 100, 300, 1000};
        config.stream_context_ms = kContextsMs[in.ConsumeIntegralInRange<std::size_t>(0, 4)];
        config.window_ms = in.ConsumeBool() ? 10 : config.window_ms;
        rates[0] = lengths == Lengths::pow2_44k ? 44100 : rates[0];
    }
    const std::uint64_t window = talvane::window_length(config, rates[0]);
    std::vector<float> history;
    std::size_t capacity = 0;
    const auto calls = in.ConsumeIntegralInRange<int>(0, 48);
    // A length used again, call after call, brings back the grids of chunks off the
    // window grid (their phase caches).
    std::optional<std::size_t> last_len;
    for (int call = 0; call < calls && in.remaining_bytes() > 0; ++call) {
        if (in.ConsumeIntegralInRange<int>(0, 9) == 9) {
            talvane::reset_stream(state);
            model = StreamModel{};
            history.clear();
        } else {
            const std::uint64_t rate = rates[in.ConsumeIntegralInRange<int>(0, 7) == 7 ? 1 : 0];
            const bool again = last_len.has_value() && in.ConsumeIntegralInRange<int>(0, 3) == 0;
            std::size_t len = again          ? *last_len
                              : in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(0, 64)
                                                 : in.ConsumeIntegralInRange<std::size_t>(0, kMaxChunk);
            if (lengths == Lengths::pow2_44k) len = std::size_t{1} << in.ConsumeIntegralInRange<int>(7, 11);
            if (lengths == Lengths::changing) {
                // Half a window to three, at most kMaxChunk: a fuzzed window that long
                // or longer (3 * window may wrap) takes kMaxChunk.
                const std::uint64_t low = std::min<std::uint64_t>(window / 2 + 1, kMaxChunk);
                const std::uint64_t high = window > kMaxChunk ? kMaxChunk : 3 * window;
                len = static_cast<std::size_t>(
                    std::min<std::uint64_t>(kMaxChunk, in.ConsumeIntegralInRange<std::uint64_t>(low, high)));
            }
            len = std::min(len, pool.size());
            const std::size_t offset = std::min(in.ConsumeIntegralInRange<std::size_t>(0, pool.size()),
                                                pool.size() - len);
            last_len = len;
            const std::span<const float> chunk = pool.subspan(offset, len);
            const bool is_last = in.ConsumeIntegralInRange<int>(0, 5) == 5;

            // Expected result, from the model.
            const bool same = model.rate == rate;
            StreamModel next{rate, same ? model.context : std::vector<float>{},
                             same ? model.last_gain : std::nullopt};
            std::optional<std::vector<float>> expected;
            const bool gated = config.enabled && len > 0;
            bool should_fail = gated && !limits_in_order(config);
            if (len == 0) {
                expected.emplace();
            } else if (!config.enabled) {
                expected.emplace(chunk.begin(), chunk.end());
            } else if (!should_fail) {
                std::vector<float> combined = next.context;
                combined.insert(combined.end(), chunk.begin(), chunk.end());
                const talvane::FlagBuffer mask =
                    state.rule == talvane::ThresholdRule::noise
                        ? noise_rule_mask(config, combined, rate)
                        : talvane::compute_keep_mask_inner(config, combined, rate);
                const std::size_t c = next.context.size();
                std::vector<float> g(len);
                for (std::size_t k = 0; k < len; ++k) g[k] = mask[c + k] != 0 ? 1.0f : config.attenuation;
                const std::uint64_t fade_len = talvane::fade_length(config, rate);
                const std::uint64_t limit = talvane::context_limit(config, rate);
                const auto keep = static_cast<std::size_t>(std::min<std::uint64_t>(combined.size(), limit));
                next.context.assign(combined.end() - static_cast<std::ptrdiff_t>(keep), combined.end());
                if (fade_len < 2 || ramp_work(g, fade_len) <= kMaxReferenceWork) {
                    const std::vector<float> curve =
                        fade_len >= 2 ? reference_ramp(g, fade_len, next.last_gain) : g;
                    expected.emplace(len);
                    for (std::size_t k = 0; k < len; ++k) (*expected)[k] = chunk[k] * curve[k];
                    next.last_gain = curve[len - 1];
                } else {
                    next.last_gain.reset();  // not modelled; taken from the state below
                }
            }
            if (is_last) next = StreamModel{};

            // The binding's order (plan, reserve, commit) or the one-call form.
            talvane::SampleBuffer out;
            bool failed = false;
            try {
                if (in.ConsumeBool()) {
                    talvane::ChunkPlan plan = talvane::plan_chunk(config, state, chunk, rate, is_last);
                    talvane::reserve_context(state, plan);
                    out = plan.output;  // a copy: the commit may take the plan's buffers
                    talvane::commit_chunk(state, plan, chunk);
                } else {
                    out = talvane::process_chunk_inner(config, state, chunk, rate, is_last);
                }
            } catch (const talvane::CheckFailed&) {
                failed = true;
            }
            check(failed == should_fail, "process_chunk check disagrees with the limits");
            if (failed) {
                check_state(state, model);  // a failed call changes nothing
                continue;
            }
            check(out.size() == len, "chunk output length");
            if (expected.has_value()) {
                for (std::size_t k = 0; k < len; ++k) {
                    check(same_value(out[k], (*expected)[k]), "chunk output", k);
                }
            } else if (gated && !is_last) {
                check(state.last_gain.has_value(), "gated chunk left no last gain");
                next.last_gain = state.last_gain;
            }
            if (!same) history.clear();  // a new stream
            if (gated) history.insert(history.end(), chunk.begin(), chunk.end());
            if (is_last) history.clear();
            if (!is_last && gated) {
                check(state.context.size() <= talvane::context_limit(config, rate), "context over its limit");
                check(state.context_start + state.context.size() == history.size(), "context start");
                check_caches(state.caches, config, history, state.rule == talvane::ThresholdRule::noise ? 2 : 1);
            }
            model = std::move(next);
        }
        check_state(state, model);
        check(state.context.capacity() >= capacity, "context gave up its storage");
        capacity = state.context.capacity();
    }
}

// ---- the band filter

std::optional<double> pick_edge(FuzzedDataProvider& in, double usual) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 1: return std::nullopt;
        case 2: return in.ConsumeFloatingPointInRange<double>(0.0, 30000.0);
        case 3: return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
        case 4: return in.ConsumeBool() ? std::numeric_limits<double>::quiet_NaN() : 0.0;
        case 5: return in.ConsumeFloatingPointInRange<double>(1e-300, 1.0);
        default: return usual;
    }
}

// Refused exactly when its error text says so; accepted edges give the bits of the
// whole recording in any chunking, after a reset as from new, and no edge gives
// the input itself.
void check_band(FuzzedDataProvider& in) {
    const std::uint64_t rate = pick_rate(in);
    const talvane::BandEdges edges{pick_edge(in, 200.0), pick_edge(in, 4000.0)};
    const std::vector<float> x = pick_samples(in);
    const std::string error = talvane::band_edges_error(edges, rate);
    std::optional<talvane::BandFilter> made;
    try {
        made.emplace(edges, rate);
    } catch (const talvane::CheckFailed& e) {
        check(!error.empty() && error == e.what(), "band filter refused edges with another text");
        return;
    }
    check(error.empty(), "band filter took edges it calls bad");
    const talvane::SampleBuffer whole = talvane::band_filter(x, rate, edges);
    std::vector<float> chunked(x.size());
    talvane::BandFilter& f = *made;
    for (int pass = 0; pass < 2; ++pass) {
        std::size_t at = 0;
        while (at < x.size()) {
            const std::size_t len = std::min(x.size() - at, in.ConsumeIntegralInRange<std::size_t>(0, 300));
            f.process(std::span<const float>(x).subspan(at, len), std::span<float>(chunked).subspan(at, len));
            at += len;
            if (in.remaining_bytes() == 0 && at < x.size()) {
                f.process(std::span<const float>(x).subspan(at), std::span<float>(chunked).subspan(at));
                at = x.size();
            }
        }
        for (std::size_t i = 0; i < x.size(); ++i) check(same_value(whole[i], chunked[i]), "band filter chunks differ", i);
        f.reset();
    }
    if (!edges.low_hz && !edges.high_hz) {
        for (std::size_t i = 0; i < x.size(); ++i) check(bits(whole[i]) == bits(x[i]), "no band changed a sample", i);
    }
}

// ---- a live stream: frames of any sample type and channel count

// The sample of each type a pool value stands for: integers from its bits (every
// value, both ends included), a float64 a little off the float32 grid.
template <class T>
T sample_from(float p) {
    if constexpr (std::is_same_v<T, float>) return p;
    if constexpr (std::is_same_v<T, double>) return static_cast<double>(p) * (1.0 + 0x1p-30);
    if constexpr (std::is_same_v<T, std::int16_t>) return static_cast<std::int16_t>(bits(p) >> 16);
    if constexpr (std::is_same_v<T, std::int32_t>) return static_cast<std::int32_t>(bits(p));
}

float reference_f32(float x) { return x; }
float reference_f32(double x) { return static_cast<float>(x); }
float reference_f32(std::int16_t x) { return static_cast<float>(x) / 32768.0f; }
float reference_f32(std::int32_t x) { return static_cast<float>(x) / 2147483648.0f; }

// Rounded to the nearest integer, halves to even (the default rounding mode),
// clamped to Int's range; NaN gives 0.
template <class Int>
Int reference_round(double v) {
    constexpr Int lo = std::numeric_limits<Int>::min(), hi = std::numeric_limits<Int>::max();
    if (std::isnan(v)) return 0;
    if (v <= static_cast<double>(lo)) return lo;
    if (v >= static_cast<double>(hi)) return hi;
    return static_cast<Int>(std::nearbyint(v));
}

bool same_sample(float a, float b) { return same_value(a, b); }
bool same_sample(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
bool same_sample(std::int16_t a, std::int16_t b) { return a == b; }
bool same_sample(std::int32_t a, std::int32_t b) { return a == b; }

template <class T>
T reference_gated(T x, float g) {
    if constexpr (std::is_same_v<T, float>) return x * g;
    if constexpr (std::is_same_v<T, double>) return x * static_cast<double>(g);
    if constexpr (std::is_integral_v<T>) return reference_round<T>(static_cast<double>(x) * static_cast<double>(g));
}

// A live stream against the plain streaming gate fed the decision signal made by
// the rules: the same context bits, the output by each type's rule from the
// plain gate's gain curve (process_chunk's own output for mono float32 without a
// band), the events where the plain gate's keep flags change, and a failed call
// changing nothing.
template <class T>
void check_live_typed(const GateConfig& config, FuzzedDataProvider& in, std::span<const float> pool,
                      talvane::SampleType type) {
    const std::uint64_t rate = pick_rate(in);
    const auto channels = in.ConsumeIntegralInRange<std::size_t>(1, 4);
    talvane::LiveState live;
    talvane::StreamState plain;
    std::optional<talvane::BandFilter> plain_band;
    // The music measure reads the decision signal in both, from the stream's start
    // or from where it was switched on (as the plug-ins' control does mid-stream).
    const bool music = in.ConsumeBool();
    talvane::set_music(live.stream.music, music);
    talvane::set_music(plain.music, music);
    if (in.ConsumeBool()) {
        const talvane::BandEdges edges{pick_edge(in, 200.0), pick_edge(in, 4000.0)};
        if (talvane::band_edges_error(edges, rate).empty()) {
            live.band.emplace(edges, rate);
            plain_band.emplace(edges, rate);
        }
    }
    bool kept = false;
    std::uint64_t position = 0;
    const auto calls = in.ConsumeIntegralInRange<int>(0, 24);
    for (int call = 0; call < calls && in.remaining_bytes() > 0; ++call) {
        const int turn = in.ConsumeIntegralInRange<int>(0, 9);
        if (turn == 8) {
            talvane::set_music(live.stream.music, !live.stream.music.on);
            talvane::set_music(plain.music, live.stream.music.on);
        }
        if (turn == 9) {
            talvane::reset_live(live);
            talvane::reset_stream(plain);
            if (plain_band) plain_band->reset();
            kept = false;
            position = 0;
            continue;
        }
        const std::size_t frames =
            std::min(in.ConsumeIntegralInRange<std::size_t>(0, 600), pool.size() / channels);
        const std::size_t offset = in.ConsumeIntegralInRange<std::size_t>(0, pool.size() - frames * channels);
        std::vector<T> x(frames * channels);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = sample_from<T>(pool[offset + i]);
        const talvane::Frames chunk{x.data(), type, frames, channels};

        // The decision signal by the rules, and the band that keeps non-finite samples out.
        std::vector<float> decision(frames);
        for (std::size_t f = 0; f < frames; ++f) {
            float sum = reference_f32(x[f * channels]);
            for (std::size_t c = 1; c < channels; ++c) sum += reference_f32(x[f * channels + c]);
            decision[f] = channels > 1 ? sum / static_cast<float>(channels) : sum;
        }
        std::optional<talvane::BandFilter> next_band = plain_band;
        const bool gated = config.enabled && frames > 0;
        if (next_band && gated) {
            std::vector<float> clean(decision), filtered(frames);
            for (float& v : clean) v = std::isfinite(v) ? v : 0.0f;
            next_band->process(clean, filtered);
            for (std::size_t f = 0; f < frames; ++f) {
                if (std::isfinite(decision[f])) decision[f] = filtered[f];
            }
        }

        std::vector<T> out(x.size());
        talvane::LivePlan plan;
        bool failed = false;
        try {
            plan = talvane::plan_live(config, live, rate, chunk, out.data());
        } catch (const talvane::CheckFailed&) {
            failed = true;
        }
        check(failed == (gated && !limits_in_order(config)), "live check disagrees with the limits");
        if (failed) {
            check(live.position == position && live.stream.context.size() == plain.context.size(), "failed live call");
            continue;
        }
        if (in.ConsumeBool()) talvane::keep_decision(plan, chunk);
        talvane::reserve_live(live, plan);
        const std::vector<talvane::KeepEvent> events = plan.events;  // the commit takes the plan's storage
        talvane::commit_live(live, plan, chunk);
        position += frames;
        check(live.position == position && live.channels == channels, "live position or channels");
        if (!gated) {
            for (std::size_t i = 0; i < x.size(); ++i) check(same_sample(out[i], x[i]), "live copy", i);
            check(plan.events.empty(), "events of a call that did not gate");
            continue;
        }
        plain_band = next_band;
        const talvane::SampleBuffer plain_out = talvane::process_chunk_inner(config, plain, decision, rate, false);
        const talvane::CallView& view = plain.last_call;
        const talvane::SampleBuffer gains = talvane::chunk_gains(view.flags, view.window_len, view.offset, frames,
                                                                view.fade_len, view.attenuation,
                                                                view.entry_gain ? &*view.entry_gain : nullptr);
        for (std::size_t f = 0; f < frames; ++f) {
            if (type == talvane::SampleType::f32 && channels == 1 && !plain_band) {
                check(same_value(static_cast<float>(out[f]), plain_out[f]), "live mono float32 output", f);
            }
            for (std::size_t c = 0; c < channels; ++c) {
                const std::size_t i = f * channels + c;
                check(same_sample(out[i], reference_gated(x[i], gains[f])), "live output", i);
            }
        }
        const std::vector<float> a = talvane::held_values(live.stream.context);
        const std::vector<float> b = talvane::held_values(plain.context);
        check(a.size() == b.size(), "live context length");
        for (std::size_t i = 0; i < a.size(); ++i) check(same_value(a[i], b[i]), "live context", i);
        const talvane::FlagBuffer keep = talvane::chunk_keep_mask(view.flags, view.window_len, view.offset, frames);
        std::size_t e = 0;
        for (std::size_t f = 0; f < frames; ++f) {
            if ((keep[f] != 0) == kept) continue;
            kept = keep[f] != 0;
            check(e < events.size() && events[e].onset == kept && events[e].sample == position - frames + f,
                  "live event", f);
            ++e;
        }
        check(e == events.size() && live.kept == kept, "live events count");
    }
}

void check_live(const GateConfig& config, FuzzedDataProvider& in, std::span<const float> pool) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return check_live_typed<float>(config, in, pool, talvane::SampleType::f32);
        case 1: return check_live_typed<double>(config, in, pool, talvane::SampleType::f64);
        case 2: return check_live_typed<std::int16_t>(config, in, pool, talvane::SampleType::i16);
        default: return check_live_typed<std::int32_t>(config, in, pool, talvane::SampleType::i32);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const GateConfig config = pick_config(in);
    check_format(config.base_thresh);
    check_format(pick_float(in, 0.035f));
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            check_ramp_rule(in);
            break;
        case 1: {
            const std::vector<float> pool = pick_samples(in);
            static constexpr Lengths kLengths[] = {Lengths::any, Lengths::any, Lengths::pow2_44k, Lengths::changing};
            check_stream(config, in, pool, kLengths[in.ConsumeIntegralInRange<std::size_t>(0, 3)]);
            break;
        }
        case 3:
            check_band(in);
            break;
        case 4: {
            const std::vector<float> pool = pick_samples(in);
            check_live(config, in, pool);
            break;
        }
        default: {
            const std::uint64_t rate = pick_rate(in);
            const std::vector<float> x = pick_samples(in);
            check_batch(config, x, rate, in.ConsumeIntegral<std::uint8_t>());
            break;
        }
    }
    return 0;
}
