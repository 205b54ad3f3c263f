// Core checks without Python: every fast path against the plain one, bit for bit.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "analysis/band_filter.hpp"
#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"
#include "analysis/noise_rule.hpp"
#include "batch/compact.hpp"
#include "batch/gain.hpp"
#include "core_helpers.hpp"
#include "messages.hpp"
#include "streaming/live_stream.hpp"
#include "streaming/stream_cache.hpp"
#include "streaming/stream_state.hpp"

namespace {

using namespace talvane;

int failures = 0;
int checks = 0;

#define CHECK(cond, ...)                                   \
    do {                                                   \
        ++checks;                                          \
        if (!(cond)) {                                     \
            ++failures;                                    \
            std::fprintf(stderr, "FAIL %s:%d: ", __FILE__, __LINE__); \
            std::fprintf(stderr, __VA_ARGS__);             \
            std::fprintf(stderr, "\n");                    \
        }                                                  \
    } while (0)

template <class A, class B>
bool same_bits(const A& a, const B& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
    }
    return true;
}

std::vector<float> random_signal(std::mt19937_64& rng, std::size_t n) {
    std::normal_distribution<float> noise(0.0f, 0.01f);
    std::uniform_int_distribution<int> kind(0, 9);
    std::vector<float> x(n);
    float level = 0.01f;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 997 == 0) level = kind(rng) < 4 ? 0.3f : 0.005f;
        x[i] = noise(rng) * level * 100.0f;
    }
    if (n > 10 && kind(rng) == 0) x[n / 2] = std::numeric_limits<float>::infinity();
    if (n > 10 && kind(rng) == 1) x[n / 3] = std::numeric_limits<float>::quiet_NaN();
    return x;
}

// Ordinary samples with, now and then, values whose squares are denormal or round
// to zero, denormals themselves, values whose squares overflow, infinities and NaN.
std::vector<float> edge_signal(std::mt19937_64& rng, std::size_t n) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float tiny[] = {1e-20f, -1e-22f, 3e-23f, 1e-39f, -std::numeric_limits<float>::denorm_min(), -0.0f};
    const float huge[] = {2e19f, -3e38f, kInf, -kInf, std::numeric_limits<float>::quiet_NaN()};
    std::uniform_int_distribution<int> pick(0, 511);
    std::vector<float> x = random_signal(rng, n);
    for (float& v : x) {
        const int k = pick(rng);
        if (k < 64) v = tiny[k % 6];
        if (k == 64) v = huge[pick(rng) % 5];
    }
    return x;
}

void energy_paths_agree(std::mt19937_64& shared_rng) {
    // Random lengths, then every window length up to 70 (vector blocks with and
    // without leftover samples) twice on edge values, drawn from a generator of
    // their own so that the checks after this one see the same inputs as before.
    std::mt19937_64 edge_rng(70);
    for (int round = 0; round < 340; ++round) {
        const bool edges = round >= 200;
        std::mt19937_64& rng = edges ? edge_rng : shared_rng;
        std::size_t n = 0;
        std::uint64_t w = static_cast<std::uint64_t>(round - 200) / 2 + 1;
        if (edges) {
            n = std::uniform_int_distribution<std::size_t>(0, 64 * w + 9)(rng);
        } else {
            n = std::uniform_int_distribution<std::size_t>(0, 20000)(rng);
            w = std::uniform_int_distribution<std::uint64_t>(1, 700)(rng);
        }
        const std::vector<float> x = edges ? edge_signal(rng, n) : random_signal(rng, n);
        const std::uint64_t windows = window_count(n, w);
        const std::uint64_t first = windows == 0 ? 0 : std::uniform_int_distribution<std::uint64_t>(0, windows)(rng);
        std::vector<float> expected(windows - first), got(windows - first);
        const auto paths = energy_paths();
        paths[0].run(x.data(), n, w, first, windows, expected.data());
        for (const EnergyPath& path : paths) {
            if (!path.available()) continue;
            std::fill(got.begin(), got.end(), -1.0f);
            path.run(x.data(), n, w, first, windows, got.data());
            CHECK(same_bits(expected, got), "energy path %s differs (n=%zu w=%llu)", path.name, n,
                  static_cast<unsigned long long>(w));
        }
        // A few of the windows, from anywhere, side by side.
        if (windows == first) continue;
        const float* starts[kSideBySide];
        std::uint64_t counts[kSideBySide];
        std::vector<float> few_expected, few_got(kSideBySide);
        const std::size_t few = 1 + rng() % kSideBySide;
        for (std::size_t i = 0; i < few; ++i) {
            const std::uint64_t t = std::uniform_int_distribution<std::uint64_t>(first, windows - 1)(rng);
            starts[i] = x.data() + t * w;
            counts[i] = std::min<std::uint64_t>(w, n - t * w);
            few_expected.push_back(expected[t - first]);
        }
        few_got.resize(few);
        scattered_window_energies(std::span<const float* const>(starts, few), std::span<const std::uint64_t>(counts, few),
                                  few_got.data());
        CHECK(same_bits(few_expected, few_got), "scattered window energies differ (n=%zu w=%llu)", n,
              static_cast<unsigned long long>(w));
    }
}

// Every lattice path against window_energies: blocks of 1 to 40 samples, windows
// of 1 to 20 blocks, groups anywhere, on edge values; a path squares the blocks
// by column and sums groups of neighbouring windows.
void lattice_paths_agree() {
    std::mt19937_64 rng(441);
    for (int round = 0; round < 300; ++round) {
        const std::uint64_t g = std::uniform_int_distribution<std::uint64_t>(1, 40)(rng);
        const std::uint64_t period = std::uniform_int_distribution<std::uint64_t>(1, 20)(rng);
        const std::uint64_t blocks = period + kLatticeLanes - 1 + rng() % 40;
        const std::vector<float> x = edge_signal(rng, blocks * g);
        std::vector<std::size_t> starts(1 + rng() % 10);
        for (std::size_t& s : starts) s = rng() % (blocks - period - kLatticeLanes + 2);
        for (const LatticePath& path : lattice_paths()) {
            if (!path.available()) continue;
            const std::size_t stride = blocks + rng() % 3;
            std::vector<float> squares(stride * g, -1.0f), sums(starts.size() * kLatticeLanes, -1.0f);
            path.squares(x.data(), blocks, g, squares.data(), stride);
            path.sums(squares.data(), stride, g, period, starts, sums.data());
            for (std::size_t k = 0; k < starts.size(); ++k) {
                for (std::size_t j = 0; j < kLatticeLanes; ++j) {
                    const std::span<const float> window(x.data() + (starts[k] + j) * g, period * g);
                    const float got = std::sqrt(sums[k * kLatticeLanes + j] / static_cast<float>(period * g));
                    CHECK(same_bits(window_energies(window, period * g), std::vector<float>{got}),
                          "lattice path %s differs (g=%llu period=%llu)", path.name,
                          static_cast<unsigned long long>(g), static_cast<unsigned long long>(period));
                }
            }
        }
    }
}

// The floor found through any hint is the floor found without one.
void floor_hints_change_nothing(std::mt19937_64& rng) {
    std::uniform_real_distribution<float> level(0.0f, 0.2f);
    std::uniform_int_distribution<std::uint32_t> key(0, 0xffffffffu);
    for (int round = 0; round < 3000; ++round) {
        std::vector<float> s(std::uniform_int_distribution<std::size_t>(1, 400)(rng));
        for (float& v : s) v = round % 5 == 0 ? 0.01f * static_cast<float>(rng() % 4) : level(rng);
        if (round % 7 == 0) s[0] = std::numeric_limits<float>::quiet_NaN();
        const float percentile = static_cast<float>(rng() % 1000) / 10.0f;
        const float expected = noise_floor(s, percentile);
        FloorHint hint;
        if (round % 2 == 0) {
            hinted_noise_floor(s, percentile + 1.0f, hint);  // a realistic hint
        } else {
            hint = FloorHint{true, key(rng), key(rng)};
            if (hint.below_key > hint.above_key) std::swap(hint.below_key, hint.above_key);
        }
        const float got = hinted_noise_floor(s, percentile, hint);
        CHECK(same_bits(std::vector<float>{expected}, std::vector<float>{got}), "hinted floor differs (round %d)", round);
    }
}

// Flags of windows [b, n) alone, as a recording of their own, are the true flags
// from b + cleaning_reach on, for every count from 0 to the largest word.
void cleaning_reach_bounds_the_passes(std::mt19937_64& rng) {
    const std::uint64_t counts[] = {0, 1, 2, 3, 4, 6, 9, std::numeric_limits<std::uint64_t>::max()};
    for (int round = 0; round < 4000; ++round) {
        GateConfig config;
        auto pick = [&] { return counts[std::uniform_int_distribution<int>(0, round % 50 == 0 ? 7 : 6)(rng)]; };
        config.min_voice_windows = pick();
        config.max_silence_gap_windows = pick();
        config.pad_voice_windows = pick();
        config.pass_windows = pick();
        std::vector<float> s(std::uniform_int_distribution<std::size_t>(1, 90)(rng));
        const int density = std::uniform_int_distribution<int>(1, 9)(rng);
        for (float& v : s) v = std::uniform_int_distribution<int>(0, 9)(rng) < density ? 1.0f : 0.0f;
        const std::vector<std::uint8_t> whole = keep_flags(config, s, 0.5f);
        const std::uint64_t reach = cleaning_reach(config);
        const std::size_t b = std::uniform_int_distribution<std::size_t>(0, s.size() - 1)(rng);
        const std::vector<std::uint8_t> part = keep_flags(config, std::span<const float>(s).subspan(b), 0.5f);
        bool same = true;
        for (std::size_t t = b; t < s.size(); ++t) {
            if (t - b >= reach) same = same && part[t - b] == whole[t];
        }
        CHECK(same, "flags past the reach differ (round %d)", round);
    }
}

// The ranks of sorted + added - removed, with the changes held as keys or values,
// from any pivot, are those of the sorted multiset; keys include the smallest and
// largest, and many copies.
void changed_selection_matches_sort(std::mt19937_64& rng) {
    for (int round = 0; round < 3000; ++round) {
        const std::uint32_t spread = round % 3 == 0 ? 6u : 0xffffffffu;  // many copies, or few
        auto key = [&] {
            const std::uint32_t k = std::uniform_int_distribution<std::uint32_t>(0, spread)(rng);
            return round % 3 == 0 && k >= 4 ? (k == 4 ? 0u : 0xffffffffu) : k;
        };
        std::vector<std::uint32_t> sorted(std::uniform_int_distribution<std::size_t>(0, 300)(rng));
        for (auto& k : sorted) k = key();
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::uint32_t> added(std::uniform_int_distribution<std::size_t>(sorted.size() < 22 ? 22 : 0, 100)(rng));
        for (auto& k : added) k = key();
        // Removed keys come from sorted and, now and then, from added.
        std::vector<std::uint32_t> removed;
        std::vector<std::uint32_t> kept(sorted);
        kept.insert(kept.end(), added.begin(), added.end());
        const std::size_t from = round % 2 == 0 ? kept.size() : sorted.size();
        const std::size_t n_removed = std::uniform_int_distribution<std::size_t>(0, std::min<std::size_t>(from, 20))(rng);
        for (std::size_t i = 0; i < n_removed; ++i) {
            const std::size_t at = std::uniform_int_distribution<std::size_t>(0, from - i - 1)(rng);
            removed.push_back(kept[at]);
            kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(at));
        }
        std::vector<std::uint32_t> all(kept);
        std::sort(all.begin(), all.end());
        // Each change set in parts: held keys in order and up to three runs of values.
        auto in_parts = [&](std::vector<std::uint32_t>& keys, std::vector<float>& values) {
            std::shuffle(keys.begin(), keys.end(), rng);
            const std::size_t held = std::uniform_int_distribution<std::size_t>(0, keys.size())(rng);
            for (std::size_t i = held; i < keys.size(); ++i) values.push_back(from_total_order_key(keys[i]));
            keys.resize(held);
            std::sort(keys.begin(), keys.end());
            KeyParts parts{keys, {}};
            const std::size_t cut1 = std::uniform_int_distribution<std::size_t>(0, values.size())(rng);
            const std::size_t cut2 = std::uniform_int_distribution<std::size_t>(cut1, values.size())(rng);
            const std::span<const float> v(values);
            parts.values = {v.first(cut1), v.subspan(cut1, cut2 - cut1), v.subspan(cut2)};
            return parts;
        };
        std::vector<float> removed_values, added_values;
        const KeyParts removed_parts = in_parts(removed, removed_values);
        const KeyParts added_parts = in_parts(added, added_values);
        const std::size_t lo = std::uniform_int_distribution<std::size_t>(0, all.size() - 2)(rng);
        const std::size_t hi = lo + (round % 2);
        const std::uint32_t pivot = round % 4 == 0 ? key() : all[std::min(all.size() - 1, lo + rng() % 5)];
        std::vector<std::uint32_t> scratch;
        std::size_t rank = round % 5 == 0 ? rng() % (sorted.size() + 2)
                                          : static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), pivot) - sorted.begin());
        const RankedKeys found = select_changed(sorted, removed_parts, added_parts, lo, hi, pivot, rank, scratch);
        CHECK(rank == static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), found.low) - sorted.begin()),
              "rank of the floor's key not given back (round %d)", round);
        CHECK(found.low == all[lo] && found.high == all[hi], "changed selection differs (round %d)", round);

        // The same with only the keys in a range [low, high] held (those below it
        // counted): the ranks when they lie in the range, none when not.
        const std::uint32_t bounds[2] = {key(), key()};
        const std::uint32_t low = std::min(bounds[0], bounds[1]), high = std::max(bounds[0], bounds[1]);
        auto in_range = [&](std::vector<std::uint32_t> keys) {
            std::erase_if(keys, [&](std::uint32_t k) { return k < low || k > high; });
            return keys;
        };
        const std::vector<std::uint32_t> sorted_in = in_range(sorted), removed_in = in_range(removed),
                                         added_in = in_range(added);
        std::size_t below = 0;
        for (const std::uint32_t k : sorted) below += k < low ? 1 : 0;
        for (const std::uint32_t k : removed) below -= k < low ? 1 : 0;
        for (const std::uint32_t k : added) below += k < low ? 1 : 0;
        const KeyParts removed_ranged{removed_in, removed_parts.values}, added_ranged{added_in, added_parts.values};
        std::size_t ranged_rank = rng() % (sorted_in.size() + 1);
        const std::optional<RankedKeys> ranged = select_in_bracket(sorted_in, low, high, below, removed_ranged,
                                                                   added_ranged, lo, hi, pivot, ranged_rank, scratch);
        const bool inside = all[lo] >= low && all[hi] <= high;
        CHECK(ranged.has_value() == inside && (!inside || (ranged->low == all[lo] && ranged->high == all[hi])),
              "selection in a range differs (round %d)", round);
    }
}

// The settled keys stay the multiset of what was inserted and not erased, through
// merges.
void settled_keys_keep_their_multiset(std::mt19937_64& rng) {
    for (int round = 0; round < 200; ++round) {
        SettledKeys keys;
        std::vector<std::uint32_t> model;
        // Every fourth round holds only a range of keys, those below it counted.
        const std::uint32_t low = round % 4 == 3 ? 3 : 0, high = round % 4 == 3 ? 50000 : 0xffffffffu;
        std::vector<std::uint32_t> none;
        keys.assign(none, low, high, 0);
        for (int op = 0; op < 600; ++op) {
            // One key in or out, or a few of each (the keys leaving are held before
            // the call, those entering may repeat them).
            const std::size_t batch = op % 3 == 0 ? 1 + rng() % 20 : 1;
            std::vector<std::uint32_t> leaving, entering;
            for (std::size_t i = 0; i < batch; ++i) {
                if (!model.empty() && rng() % 2 == 0) {
                    const std::size_t at = rng() % model.size();
                    leaving.push_back(model[at]);
                    model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
                } else {
                    entering.push_back(static_cast<std::uint32_t>(rng() % (round % 2 == 0 ? 8 : 100000)));
                }
            }
            model.insert(model.end(), entering.begin(), entering.end());
            std::sort(leaving.begin(), leaving.end());
            std::sort(entering.begin(), entering.end());
            keys.reserve(leaving.size() + entering.size());
            keys.change(leaving, entering);
            keys.settle();
            if (op % 50 == 0) {
                std::vector<std::uint32_t> held(keys.sorted().begin(), keys.sorted().end());
                for (const std::uint32_t k : keys.removed()) held.erase(std::find(held.begin(), held.end(), k));
                held.insert(held.end(), keys.added().begin(), keys.added().end());
                std::sort(held.begin(), held.end());
                std::vector<std::uint32_t> expected;
                std::size_t below = 0;
                for (const std::uint32_t k : model) {
                    below += k < low ? 1 : 0;
                    if (k >= low && k <= high) expected.push_back(k);
                }
                std::sort(expected.begin(), expected.end());
                CHECK(held == expected && below == keys.below() &&
                          std::is_sorted(keys.sorted().begin(), keys.sorted().end()),
                      "settled keys differ (round %d op %d)", round, op);
            }
        }
        std::vector<std::uint32_t> sorted;
        keys.assign(sorted);
        CHECK(keys.size() == 0, "assigned keys not empty");
    }
}

// The per-sample list path, array path and compaction, held to their plain forms.
void batch_paths_agree(std::mt19937_64& rng) {
    const float attenuations[] = {0.5f, 1.0f, 2.0f, 0.25f};
    for (int round = 0; round < 204; ++round) {
        // The last rounds are long enough for the streaming-store output path,
        // with window starts that are not 16-byte aligned (441 samples).
        const bool long_input = round >= 200;
        GateConfig config;
        config.window_ms = std::uniform_int_distribution<std::uint64_t>(1, 30)(rng);
        if (long_input) config.window_ms = 10;
        config.fade_ms = std::uniform_int_distribution<std::uint64_t>(0, 40)(rng);
        config.attenuation = attenuations[round % 4];
        config.pass_windows = round % 3;
        const std::uint64_t rate = long_input ? 44100 : (round % 2 == 0 ? 16000 : 8000);
        std::vector<float> x = random_signal(rng, long_input ? 1500000 + static_cast<std::size_t>(round)
                                                             : std::uniform_int_distribution<std::size_t>(0, 30000)(rng));
        for (float& v : x) {
            if (!std::isfinite(v)) v = 0.0f;  // the list path gives NaN there for attenuation 0
        }
        CHECK(same_bits(apply_array_inner(config, x, rate), apply_array_np_inner(config, x, rate)),
              "apply paths differ (round %d)", round);

        const FlagBuffer mask = compute_keep_mask_inner(config, x, rate);
        std::vector<float> kept;
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (mask[i] != 0) kept.push_back(x[i]);
        }
        if (kept.empty()) kept.assign(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(rate / 2, x.size())));
        CHECK(same_bits(kept, compact_array_inner(config, x, rate)), "compaction differs (round %d)", round);
    }
}

// The ramp rule as stated: a copy of the gains, every ramp written in full, in order.
std::vector<float> literal_ramps(const std::vector<float>& g, std::uint64_t fade, const float* entry) {
    std::vector<float> r(g);
    const std::size_t n = g.size();
    if (n > 0 && entry != nullptr && *entry != g[0]) {
        const std::uint64_t len = std::min<std::uint64_t>(n, fade);
        for (std::uint64_t k = 1; k <= len; ++k) {
            r[k - 1] = *entry + (g[0] - *entry) * (static_cast<float>(k) / static_cast<float>(len));
        }
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (g[i] == g[i - 1]) continue;
        const std::uint64_t len = std::min<std::uint64_t>(fade, n - i);
        const float delta = g[i] - g[i - 1];
        for (std::uint64_t k = 1; k <= len; ++k) {
            r[i + k - 1] = g[i - 1] + delta * (static_cast<float>(k) / static_cast<float>(len));
        }
    }
    return r;
}

void ramp_rule_matches_literal(std::mt19937_64& rng) {
    const float values[] = {0.0f, 1.0f, 0.5f, -0.0f, 2.0f, std::numeric_limits<float>::quiet_NaN()};
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 60)(rng);
        std::vector<float> g(n);
        std::uniform_int_distribution<int> pick(0, round % 6);
        for (float& v : g) v = values[pick(rng)];
        const std::uint64_t fade = std::uniform_int_distribution<std::uint64_t>(2, 12)(rng);
        const float entry_value = values[pick(rng)];
        const float* entry = round % 3 == 0 ? nullptr : &entry_value;
        const std::vector<float> expected = literal_ramps(g, fade, entry);
        std::vector<float> got(g);
        ramp_gains(got, fade, entry);
        bool same = expected.size() == got.size();
        for (std::size_t i = 0; same && i < n; ++i) {
            same = std::isnan(expected[i]) ? std::isnan(got[i])
                                           : std::bit_cast<std::uint32_t>(expected[i]) == std::bit_cast<std::uint32_t>(got[i]);
        }
        CHECK(same, "ramp rule differs (round %d)", round);
    }
}

// A chunk gated the plain way: the analysis over a fresh combined buffer.
SampleBuffer plain_chunk(const GateConfig& config, std::vector<float>& context, std::optional<float>& last_gain,
                         std::span<const float> chunk, std::uint64_t rate) {
    std::vector<float> combined(context);
    combined.insert(combined.end(), chunk.begin(), chunk.end());
    const FlagBuffer mask = compute_keep_mask_inner(config, combined, rate);
    std::vector<float> gains(chunk.size());
    for (std::size_t k = 0; k < chunk.size(); ++k) {
        gains[k] = mask[context.size() + k] != 0 ? 1.0f : config.attenuation;
    }
    const std::uint64_t fade = fade_length(config, rate);
    const std::vector<float> curve = fade >= 2 ? literal_ramps(gains, fade, last_gain ? &*last_gain : nullptr) : gains;
    SampleBuffer out(chunk.size());
    for (std::size_t k = 0; k < chunk.size(); ++k) out[k] = chunk[k] * curve[k];
    const std::size_t keep = std::min<std::size_t>(combined.size(), context_limit(config, rate));
    context.assign(combined.end() - static_cast<std::ptrdiff_t>(keep), combined.end());
    last_gain = curve.back();
    return out;
}

// The invariant of the cache an analysis over `combined` left for the call whose
// context starts `advance` samples after combined's first (a whole number of
// windows): its whole windows hold the energies of the plain analysis and the
// smoothed values it gave them (its start was combined's first sample), and the
// keys are those of the smoothed values past the unkeyed front (those in the keys'
// range held, those below it counted).
bool cache_holds(const StreamCache& cache, const GateConfig& config, std::span<const float> combined,
                 std::size_t advance, std::uint64_t rate) {
    if (cache.count == 0) return true;
    const std::uint64_t w = window_length(config, rate);
    if (cache.window_len != w || advance % w != 0) return false;
    const std::vector<float> e = window_energies(combined, w);
    const std::vector<float> s = smooth_energies(e, config.smooth_alpha);
    const std::size_t d = advance / w;
    if (cache.count != combined.size() / w - d) return false;
    // Bit for bit, except that a NaN matches any NaN: the sign of a NaN made in
    // the smoothing depends on which operand the compiled code adds first.
    auto same = [](float a, float b) {
        return std::isnan(a) ? std::isnan(b) : std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
    };
    const std::span<const float> e_cached = cache.energies.view(), s_cached = cache.smoothed.view();
    for (std::size_t t = 0; t < cache.count; ++t) {
        if (!same(e[t + d], e_cached[t]) || !same(s[t + d], s_cached[t])) return false;
    }
    if (!cache.keyed) return true;
    std::vector<std::uint32_t> held(cache.keys.sorted().begin(), cache.keys.sorted().end());
    for (const std::uint32_t k : cache.keys.removed()) {
        const auto it = std::find(held.begin(), held.end(), k);
        if (it == held.end()) return false;
        held.erase(it);
    }
    held.insert(held.end(), cache.keys.added().begin(), cache.keys.added().end());
    std::sort(held.begin(), held.end());
    // Those in the keys' range are held, those below it counted.
    std::vector<std::uint32_t> expected;
    std::size_t below = 0;
    for (std::size_t t = cache.unkeyed; t < cache.count; ++t) {
        const std::uint32_t key = total_order_key(s_cached[t]);
        below += key < cache.keys.low() ? 1 : 0;
        if (key >= cache.keys.low() && key <= cache.keys.high()) expected.push_back(key);
    }
    std::sort(expected.begin(), expected.end());
    return held == expected && below == cache.keys.below();
}

// Every phase cache holds windows of the stream where its start says: their
// energies are those of the stream's samples there.
bool phases_hold(const StreamState& state, std::span<const float> history) {
    for (const PhaseCache& phase : state.phases) {
        const StreamCache& cache = phase.cache;
        if (cache.count == 0) continue;
        if (phase.start + cache.count * cache.window_len > history.size()) return false;
        const std::vector<float> e = window_energies(
            history.subspan(phase.start, cache.count * cache.window_len), cache.window_len);
        if (!same_bits(e, cache.energies.view())) return false;
    }
    return state.phases.size() <= kMaxPhases;
}

// The window lattice holds the energies of the stream's windows where its blocks say.
bool lattice_holds(const StreamState& state, std::span<const float> history) {
    const WindowLattice& lattice = state.lattice;
    if (lattice.window_len == 0) return true;
    const std::span<const float> held = lattice.energies.view();
    for (std::size_t i = 0; i < held.size(); ++i) {
        const std::uint64_t start = lattice.offset + (lattice.first + i) * lattice.block;
        if (start + lattice.window_len > lattice.end || lattice.end > history.size()) return false;
        const std::vector<float> e = window_energies(history.subspan(start, lattice.window_len), lattice.window_len);
        if (!same_bits(e, std::vector<float>{held[i]})) return false;
    }
    return true;
}

// The view of the last call against the analysis of context + chunk: its floor,
// threshold and the flags of the windows holding the chunk, and the gains the
// output was made with.
bool view_holds(const CallView& view, const GateConfig& config, std::span<const float> combined,
                std::span<const float> chunk, std::span<const float> output, std::uint64_t rate) {
    const AnalysisView expected = analyse_inner(config, combined, rate);
    auto same = [](float a, float b) {
        return std::isnan(a) ? std::isnan(b) : std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
    };
    const std::uint64_t context_len = combined.size() - chunk.size();
    const std::uint64_t first = context_len / expected.window_len;
    const std::vector<std::uint8_t> flags(expected.decision.keep.begin() + static_cast<std::ptrdiff_t>(first),
                                          expected.decision.keep.end());
    const SampleBuffer gains = chunk_gains(view.flags, view.window_len, view.offset, view.chunk_len, view.fade_len,
                                           view.attenuation, view.entry_gain ? &*view.entry_gain : nullptr);
    const FlagBuffer mask = chunk_keep_mask(view.flags, view.window_len, view.offset, view.chunk_len);
    const FlagBuffer plain_mask = compute_keep_mask_inner(config, combined, rate);
    bool masks = mask.size() == chunk.size();
    for (std::size_t k = 0; masks && k < chunk.size(); ++k) masks = mask[k] == plain_mask[context_len + k];
    bool products = true;
    for (std::size_t k = 0; k < chunk.size(); ++k) products = products && same(chunk[k] * gains[k], output[k]);
    return view.present && same(view.floor, expected.decision.floor) &&
           same(view.threshold.value, expected.decision.threshold.value) &&
           view.threshold.clamped == expected.decision.threshold.clamped && std::ranges::equal(view.flags, flags) &&
           view.offset == context_len - first * expected.window_len && products && masks;
}

// Which of the streaming fast paths the calls took.
struct PathCounts {
    int lanes = 0, keyed = 0, bounded = 0, phases = 0, lattice = 0;
    int ranged = 0, left = 0;  // floors found among keys held in part of their range; outside it
    int recentred = 0;         // keys built again from a window guessed from their old range
};

// One stream checked call by call against the plain way, with the samples it has
// seen since it began.
struct CheckedStream {
    GateConfig config;
    StreamState state;
    std::vector<float> context;
    std::optional<float> last_gain;
    std::vector<float> history;

    void new_stream() {
        context.clear();
        last_gain.reset();
        history.clear();
    }
};

// What one checked call did: whether it read a phase cache, and the phase of its
// grid (where its context starts, modulo the window length).
struct CallSeen {
    bool phase_hit;
    std::uint64_t phase;
    bool lattice;  // its energies came from the window lattice
};

CallSeen check_call(CheckedStream& stream, std::span<const float> chunk, std::uint64_t rate, PathCounts& paths,
                    int round, int call) {
    StreamState& state = stream.state;
    const std::uint64_t w = window_length(stream.config, rate);
    std::vector<float> combined(stream.context);
    combined.insert(combined.end(), chunk.begin(), chunk.end());
    const SampleBuffer expected = plain_chunk(stream.config, stream.context, stream.last_gain, chunk, rate);
    ChunkPlan plan = plan_chunk(stream.config, state, chunk, rate, false);
    const StreamAnalysis& analysis = *plan.analysis;
    paths.lanes += analysis.used_lane ? 1 : 0;
    paths.keyed += analysis.keys == StreamAnalysis::Keys::kUpdate ? 1 : 0;
    paths.bounded += analysis.first_flag > 0 ? 1 : 0;
    const bool hit = plan.phase_read != ChunkPlan::kNoPhase;
    const CallSeen seen{hit, (plan.next_context_start - (combined.size() - stream.context.size())) % w,
                        analysis.from_lattice};
    paths.phases += hit && analysis.dropped != combined.size() - stream.context.size() ? 1 : 0;
    paths.lattice += analysis.from_lattice ? 1 : 0;
    if (hit) {
        const SettledKeys& keys = state.phases[plan.phase_read].cache.keys;
        const bool part = keys.low() > 0 || keys.high() < std::numeric_limits<std::uint32_t>::max();
        paths.ranged += part && analysis.floor_rank != static_cast<std::size_t>(-1) ? 1 : 0;
        paths.left += analysis.left_range ? 1 : 0;
        paths.recentred += analysis.keys == StreamAnalysis::Keys::kBuild && analysis.recentred ? 1 : 0;
    }
    const std::size_t advance = analysis.dropped;
    const bool kept = plan.keeps_phase;
    reserve_context(state, plan);
    const SampleBuffer got = plan.output;
    const std::uint64_t written_start = plan.phase_start;
    commit_chunk(state, plan, chunk);
    stream.history.insert(stream.history.end(), chunk.begin(), chunk.end());
    CHECK(same_bits(expected, got), "stream output differs (round %d call %d)", round, call);
    CHECK(same_bits(stream.context, state.context.view()), "context differs (round %d call %d)", round, call);
    CHECK(state.last_gain.has_value() && same_bits(std::vector<float>{*stream.last_gain},
                                                   std::vector<float>{*state.last_gain}),
          "last gain differs");
    CHECK(state.context_start + state.context.size() == stream.history.size(), "context start wrong");
    if (kept) {
        const PhaseCache* written = state.phase_at(written_start);
        CHECK(written != nullptr || combined.size() / w <= advance / w, "phase cache not kept (round %d call %d)",
              round, call);
        if (written != nullptr) {
            CHECK(cache_holds(written->cache, stream.config, combined, advance, rate),
                  "stream cache broken (round %d call %d)", round, call);
        }
    }
    if (call % 16 == 0) CHECK(phases_hold(state, stream.history), "phase caches broken (round %d call %d)", round, call);
    if (call % 8 == 0) CHECK(lattice_holds(state, stream.history), "window lattice broken (round %d call %d)", round, call);
    if (call % 4 == 0) CHECK(view_holds(state.last_call, stream.config, combined, chunk, got, rate),
                             "last call's view differs (round %d call %d)", round, call);
    return seen;
}

// Every call against a fresh analysis of context + chunk: contexts from one window
// to 60 s, chunks from one sample to seconds, cleaning counts from 0 to the largest
// word, smoothing that meets after a few windows, after many, or never, NaN and
// infinite samples, changes of rate and resets.
void streaming_agrees_with_plain(std::mt19937_64& rng, PathCounts& paths) {
    const std::uint64_t counts[] = {0, 1, 2, 3, 5, 8, 40, std::numeric_limits<std::uint64_t>::max()};
    const float alphas[] = {0.2f, 0.5f, 0.05f, 1.0f, 0.0f, -0.5f, std::numeric_limits<float>::quiet_NaN(), 0.9f};
    const float percentiles[] = {20.0f, 100.0f, 0.0f, 97.5f, 50.0f};
    const std::uint64_t contexts[] = {1, 10, 50, 400, 3000, 10000, 60000};  // ms
    for (int round = 0; round < 84; ++round) {
        CheckedStream stream;
        GateConfig& config = stream.config;
        const std::uint64_t rate = round % 5 == 4 ? 8000 : 1000;
        config.window_ms = rate == 8000 ? 10 : std::uniform_int_distribution<std::uint64_t>(1, 4)(rng);
        config.stream_context_ms = contexts[round % 7];
        // Mostly the default counts and smoothing, which the fast paths serve; every
        // other kind now and then.
        const bool usual = round % 3 != 2;
        auto count = [&](std::uint64_t usual_count) { return usual ? usual_count : counts[rng() % 8]; };
        config.min_voice_windows = count(5);
        config.max_silence_gap_windows = count(8);
        config.pad_voice_windows = count(2);
        config.pass_windows = count(round % 2);
        config.smooth_alpha = usual && round % 4 != 1 ? 0.2f : alphas[rng() % 8];
        config.noise_floor_percentile = percentiles[round % 5];
        config.fade_ms = round % 6;
        // The gain curve comes from the window flags; the literal rule compares every
        // pair of samples, NaN included (NaN differs even from itself).
        const float attenuations[] = {0.0f, 0.25f, std::numeric_limits<float>::quiet_NaN(), 1.0f, -0.0f};
        config.attenuation = attenuations[round % 5];
        const std::uint64_t w = window_length(config, rate);
        const std::uint64_t limit = context_limit(config, rate);
        std::uint64_t stream_rate = rate;
        // A long context is filled with big chunks first.
        std::size_t filled = 0;
        for (int call = 0; call < 260; ++call) {
            std::size_t n = w * std::uniform_int_distribution<std::size_t>(1, 2)(rng);  // whole windows: the caches hold
            if (filled < limit) n = std::min<std::size_t>(limit, std::max<std::size_t>(n, limit / 3 + 1));
            if (call % 37 == 36) n = std::uniform_int_distribution<std::size_t>(1, 3 * w)(rng);  // misaligned
            if (call % 53 == 52) n = std::uniform_int_distribution<std::size_t>(rate, 4 * rate)(rng);  // seconds
            if (call % 89 == 88) {
                stream_rate = stream_rate == rate ? rate + 1000 : rate;  // a new stream
                stream.new_stream();
                filled = 0;
            }
            if (call % 127 == 126) {
                reset_stream(stream.state);
                stream.new_stream();
                filled = 0;
            }
            check_call(stream, random_signal(rng, n), stream_rate, paths, round, call);
            filled += n;
        }
    }
}

// Chunks off the window grid: each length in turn for a stretch of calls once the
// context is full, so that every phase of its grid returns, with a second length
// long enough for the first one's phase caches to be dropped, then the first again,
// chunks of random lengths, a new stream at another rate and a reset. Every call
// against the plain way; in a stretch of one length whose grid returns within
// kMaxPhases calls, every call after the first period reads a phase cache, and each
// phase is counted.
void off_grid_streams_agree_with_plain(std::mt19937_64& rng, PathCounts& paths) {
    struct Plan {
        std::uint64_t rate, window_ms, first, second;  // chunk lengths
    };
    const Plan plans[] = {
        {1000, 4, 6, 7},      {1000, 3, 7, 5},       {8000, 10, 96, 85}, {8000, 10, 90, 81},
        {16000, 10, 256, 441}, {16000, 10, 512, 250}, {8000, 10, 100, 120},
    };
    const std::uint64_t contexts[] = {3000, 400, 10000};  // ms
    std::size_t phases_counted = 0;
    for (int round = 0; round < 21; ++round) {
        const Plan& plan = plans[round % 7];
        CheckedStream stream;
        stream.config.window_ms = plan.window_ms;
        stream.config.stream_context_ms = contexts[round % 3];
        stream.config.pass_windows = round % 2;
        if (round % 4 == 3) stream.config.smooth_alpha = 0.5f;
        const std::uint64_t w = window_length(stream.config, plan.rate);
        const std::uint64_t limit = context_limit(stream.config, plan.rate);
        std::uint64_t rate = plan.rate;
        int call = 0;
        auto fill = [&] {
            for (std::size_t filled = 0; filled < limit; filled += limit / 3 + 1) {
                check_call(stream, random_signal(rng, limit / 3 + 1), rate, paths, round, call++);
            }
        };
        // One length for `calls` calls; per phase, the calls that read its cache.
        auto stretch = [&](std::uint64_t n, int calls) {
            const std::uint64_t period = w / std::gcd(n, w);
            std::vector<int> hits(w, 0);
            for (int i = 0; i < calls; ++i) {
                const CallSeen seen = check_call(stream, random_signal(rng, n), rate, paths, round, call++);
                // A cache the previous length left may be met in the first calls.
                if (period <= kMaxPhases || i >= static_cast<int>(2 * kMaxPhases)) {
                    hits[seen.phase] += seen.phase_hit ? 1 : 0;
                }
                if (period <= kMaxPhases && static_cast<std::uint64_t>(i) >= period) {
                    CHECK(seen.phase_hit, "no phase cache read (round %d call %d, period %llu)", round, call,
                          static_cast<unsigned long long>(period));
                }
                // The lattice starts at the second call of a length and holds every
                // window a phase needs once it has followed a whole period.
                if (period >= 2 && period <= kMaxPhases && static_cast<std::uint64_t>(i) > period) {
                    CHECK(seen.lattice, "energies not from the window lattice (round %d call %d, period %llu)", round,
                          call, static_cast<unsigned long long>(period));
                }
            }
            const auto phases_hit = static_cast<std::uint64_t>(std::count_if(hits.begin(), hits.end(),
                                                                             [](int h) { return h > 0; }));
            if (period <= kMaxPhases && static_cast<std::uint64_t>(calls) > 2 * period) {
                CHECK(phases_hit == period, "%llu of %llu phases read their caches (round %d)",
                      static_cast<unsigned long long>(phases_hit), static_cast<unsigned long long>(period), round);
                phases_counted += phases_hit;
            }
            if (period > kMaxPhases) CHECK(phases_hit == 0, "a long period read phase caches (round %d)", round);
        };
        fill();
        stretch(plan.first, 60);
        stretch(plan.second, static_cast<int>(kPhaseIdleCalls) + 8);
        // The first length's caches went idle and were dropped.
        const std::uint64_t second_period = w / std::gcd(plan.second, w);
        CHECK(stream.state.phases.size() <= (second_period <= kMaxPhases ? second_period : 0),
              "idle phase caches kept (round %d: %zu)", round, stream.state.phases.size());
        stretch(plan.first, 50);
        for (int i = 0; i < 30; ++i) {  // lengths that change every call
            const std::uint64_t n = std::uniform_int_distribution<std::uint64_t>(w / 2 + 1, 3 * w)(rng);
            check_call(stream, random_signal(rng, n), rate, paths, round, call++);
        }
        rate = plan.rate / 2;  // a new stream
        stream.new_stream();
        const std::uint64_t half_w = window_length(stream.config, rate);
        for (int i = 0; i < 20; ++i) check_call(stream, random_signal(rng, half_w + 1), rate, paths, round, call++);
        reset_stream(stream.state);
        stream.new_stream();
        rate = plan.rate;
        fill();
        stretch(plan.first, 40);
    }
    std::printf("phases read from their caches: %zu\n", phases_counted);
}
// A floor that keeps moving (a level rising window after window, then falling)
// through a context of 2000 windows, in chunks on the window grid and off it: the
// keys held in a range around the floor are built again and again, from a window
// guessed from their old range. Every call against the plain way.
void moving_floor_streams_agree_with_plain(std::mt19937_64& rng, PathCounts& paths) {
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (int round = 0; round < 4; ++round) {
        CheckedStream stream;
        stream.config.window_ms = 2;  // 2 samples at 1000 Hz
        stream.config.stream_context_ms = 4000;
        const std::uint64_t rate = 1000, chunk = round % 2 == 0 ? 2 : 5;
        check_call(stream, random_signal(rng, 4000), rate, paths, round, 0);
        float level = 0.01f;
        for (int call = 1; call < 1200; ++call) {
            std::vector<float> x(chunk);
            for (float& v : x) {
                level *= call < 700 ? 1.003f : 0.996f;
                v = noise(rng) * level;
            }
            check_call(stream, x, rate, paths, round, call);
        }
    }
}

// A chunk whose analysis fails leaves the stream exactly as it was, even when its
// rate differs from the stream's (which would otherwise start a new stream).
void failed_chunk_changes_nothing(std::mt19937_64& rng) {
    GateConfig good;
    StreamState state;
    const std::vector<float> first = random_signal(rng, 4000);
    process_chunk_inner(good, state, first, 16000, false);
    const std::vector<float> context(state.context.view().begin(), state.context.view().end());
    const std::optional<float> gain = state.last_gain;
    GateConfig bad;
    bad.base_thresh = 0.5f;
    bad.max_thresh = 0.1f;
    for (std::uint64_t rate : {16000u, 8000u}) {
        bool threw = false;
        try {
            process_chunk_inner(bad, state, random_signal(rng, 100), rate, rate == 8000);
        } catch (const CheckFailed&) {
            threw = true;
        }
        CHECK(threw, "analysis failure not reported");
        CHECK(state.stream_rate == std::optional<std::uint64_t>(16000) && state.last_gain == gain &&
                  same_bits(context, state.context.view()),
              "failed chunk changed the stream (rate %llu)", static_cast<unsigned long long>(rate));
    }
}

// Shortest texts that the nearest decimal of each length alone would miss, and
// the extremes, through this platform's own printf and strtof.
void float_texts_are_shortest() {
    const struct {
        std::uint32_t bits;
        const char* text;
    } cases[] = {
        {0x0f800000u, "1.2621775e-29"},  // 2^-96
        {0x6b000000u, "1.5474251e26"},   // 2^87
        {0x6c800000u, "1.2379401e27"},   // 2^90
        {0x00000001u, "1e-45"},          {0x00000003u, "4e-45"},
        {0x7f7fffffu, "3.4028235e38"},   {0x3dcccccdu, "0.1"},
        {0x4ceb79a3u, "123456790.0"},    {0x38d1b716u, "9.999999e-5"},
        {0x5a0e1bcau, "1e16"},           {0x80000000u, "-0.0"},
    };
    for (const auto& c : cases) {
        const std::string text = format_float(std::bit_cast<float>(c.bits));
        CHECK(text == c.text, "format of %08x: %s, not %s", static_cast<unsigned>(c.bits), text.c_str(), c.text);
    }
}

// Golden input for the band filter: an exact sawtooth at 50 Hz (16 kHz) plus noise
// drawn from an integer generator, so every platform feeds the same bits.
std::vector<float> band_golden_input(std::size_t n) {
    std::vector<float> x(n);
    std::uint64_t state = 0x853c49e6748fea9bull;
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const float noise = static_cast<float>(static_cast<std::int32_t>(state >> 40) - (1 << 23)) * 0x1p-23f;
        const float saw = static_cast<float>(i % 320) / 160.0f - 1.0f;
        x[i] = 0.3f * saw + 0.05f * noise + (i % 4000 < 2000 ? 0.2f * noise : 0.0f);
    }
    return x;
}

std::uint64_t fnv1a(std::span<const float> values) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (float v : values) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
        for (int b = 0; b < 4; ++b) {
            h ^= (bits >> (8 * b)) & 0xffu;
            h *= 0x100000001b3ull;
        }
    }
    return h;
}

std::uint64_t fnv1a_design(const BandFilter& f) {
    std::vector<float> halves;  // each double as two float-sized halves of its bits
    auto add = [&](double d) {
        const auto bits = std::bit_cast<std::uint64_t>(d);
        halves.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
        halves.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits >> 32)));
    };
    for (const auto& s : f.sections()) {
        for (double c : {s.a1, s.a2, s.d1, s.d2, s.b1, s.b2}) add(c);
    }
    add(f.gain());
    return fnv1a(halves);
}

// The same bits on every platform: coefficients and outputs of a few bands against
// values recorded once; the aarch64 and Windows builds of this test check them too.
void band_filter_golden_bits() {
    constexpr auto none = std::nullopt;
    const struct {
        BandEdges edges;
        std::uint64_t rate;
        std::uint64_t design, output;
    } cases[] = {
        {{200.0, 4000.0}, 16000, 0x387392c4715eb6adull, 0xcde793dda6ad1513ull},
        {{200.0, 4000.0}, 48000, 0x6c654d7e5e92be77ull, 0xb135edc0c0c0f435ull},
        {{200.0, none}, 8000, 0x0a18423c4673b4a4ull, 0x9abae5028c281c24ull},
        {{none, 3000.0}, 44100, 0xddd52448fbd63226ull, 0xbf3a650faa244e14ull},
        {{20.0, none}, 192000, 0x0639d80117b662e0ull, 0xbd664c404c3084d2ull},
        {{20.0, 8000.0}, 192000, 0x423a580162e9081eull, 0x0ac3fac2f0e35875ull},
        {{7000.0, 7900.0}, 16000, 0x48e787667f198797ull, 0xc4281b0e78dbfa3full},
        {{none, none}, 16000, 0xaab1693229ba1db8ull, 0x0693232b7cbd3360ull},
    };
    const std::vector<float> x = band_golden_input(48000);
    for (const auto& c : cases) {
        BandFilter f(c.edges, c.rate);
        std::vector<float> y(x.size());
        f.process(x, y);
        const std::uint64_t design = fnv1a_design(f), output = fnv1a(y);
        CHECK(design == c.design, "band design at %llu Hz: %#llx", static_cast<unsigned long long>(c.rate),
              static_cast<unsigned long long>(design));
        CHECK(output == c.output, "band output at %llu Hz: %#llx", static_cast<unsigned long long>(c.rate),
              static_cast<unsigned long long>(output));
    }
    // The tangent itself, at a few points, to the bit.
    const struct {
        double x;
        std::uint64_t bits;
    } tangents[] = {{0.01, 0x3f847b0e05625f97ull}, {0.5, 0x3fe17b4f5bf3474aull},
                   {1.0, 0x3ff8eb245cbee3a5ull}, {1.4, 0x401731086dc00a37ull}};
    for (const auto& t : tangents) {
        const auto bits = std::bit_cast<std::uint64_t>(band_tan(t.x));
        CHECK(bits == t.bits, "band_tan(%g): %#llx", t.x, static_cast<unsigned long long>(bits));
    }
}

// The noise rule's threshold and ratio, and its two order statistics of a banded
// analysis, against bits recorded once: the aarch64 and Windows builds check them
// too (a square root or a quotient that rounded otherwise would show here).
void noise_rule_golden_bits() {
    GateConfig c{};
    c.base_thresh = 0.004f;
    c.max_thresh = std::numeric_limits<float>::infinity();
    c.threshold_ratio = 1.2f;
    const struct {
        float floor, high;
        std::uint32_t threshold, ratio;
    } cases[] = {
        {0x1.930bep-7f, 0x1.d2f1aap-2f, 0x3c9e47d1u, 0x3fc91158u},
        {0x1.16c2p-133f, 0x1p+0f, 0x3b83126fu, 0x47c35008u},  // a subnormal floor
        {0x1.47ae14p-6f, 0x1.581062p-6f, 0x3cc49ba6u, 0x3f99999au},  // threshold_ratio the larger
        {0x1.cac084p-9f, 0x1.99999ap-3f, 0x3bbe2b19u, 0x3fd43dd0u},
        {0x1.8p-1f, 0x1.3p+3f, 0x3f83db75u, 0x3fafcf47u},
    };
    for (const auto& k : cases) {
        const RuleThreshold r = noise_rule_threshold(c, k.floor, k.high);
        CHECK(std::bit_cast<std::uint32_t>(r.threshold.value) == k.threshold && std::bit_cast<std::uint32_t>(r.ratio) == k.ratio,
              "noise rule at floor %a, high %a: %a, ratio %a", static_cast<double>(k.floor), static_cast<double>(k.high),
              static_cast<double>(r.threshold.value), static_cast<double>(r.ratio));
    }
    const std::vector<float> x = band_golden_input(48000);
    std::vector<float> y(x.size());
    BandFilter f(BandEdges{200.0, 4000.0}, 16000);
    f.process(x, y);
    const RuleStats stats = rule_stats(smooth_energies(window_energies(y, 160), 0.2f), 20.0f);
    CHECK(std::bit_cast<std::uint32_t>(stats.floor) == 0x3d91aa00u && std::bit_cast<std::uint32_t>(stats.high) == 0x3deee41cu,
          "noise rule statistics: floor %a, high %a", static_cast<double>(stats.floor), static_cast<double>(stats.high));
}

// Any chunking on any path gives the bits of the whole; reset() starts over; after a burst and
// a long digital silence the output is +0.0 (the flush keeps the state out of
// subnormals).
void band_filter_chunks_agree(std::mt19937_64& rng) {
    const std::vector<float> x = band_golden_input(20000);
    const BandEdges bands[] = {{200.0, 4000.0}, {50.0, std::nullopt}, {std::nullopt, 1000.0}, {}};
    for (const BandEdges& band : bands) {
        BandFilter whole(band, 16000, 0);
        std::vector<float> expected(x.size());
        whole.process(x, expected);
        for (int round = 0; round < 20; ++round) {
            // Every path the processor runs, each in any chunking, gives the bits of the first.
            const std::size_t path = static_cast<std::size_t>(round) % band_paths().size();
            if (!band_paths()[path].available()) continue;
            BandFilter f(band, 16000, path);
            if (round % 2 == 1) {
                std::vector<float> junk(777);
                f.process(x, std::span<float>(junk).first(0));
                f.process(std::span<const float>(x).first(777), junk);
                f.reset();
            }
            std::vector<float> got(x.size());
            std::size_t at = 0;
            while (at < x.size()) {
                const std::size_t len = std::min(x.size() - at, std::uniform_int_distribution<std::size_t>(0, round % 3 == 0 ? 5 : 300)(rng));
                f.process(std::span<const float>(x).subspan(at, len), std::span<float>(got).subspan(at, len));
                at += len;
            }
            CHECK(same_bits(expected, got), "chunked band filter differs (round %d)", round);
        }
        std::vector<float> in_place(x);
        BandFilter again(band, 16000);
        again.process(in_place, in_place);
        CHECK(same_bits(expected, in_place), "band filter in place differs");
    }
    // Left alone, these states sink into subnormals and ring there, giving -0.0 outputs.
    for (const BandEdges& band : {BandEdges{std::nullopt, 7000.0}, BandEdges{200.0, 7000.0}}) {
        std::vector<float> burst(16000 * 5, 0.0f);
        for (std::size_t i = 0; i < 1600; ++i) burst[i] = (i % 7 < 3 ? 0.5f : -0.4f);
        BandFilter f(band, 16000);
        f.process(burst, burst);
        bool zeros = true;
        for (std::size_t i = burst.size() - 16000; i < burst.size(); ++i) {
            zeros = zeros && std::bit_cast<std::uint32_t>(burst[i]) == 0u;
        }
        CHECK(zeros, "band filter output after a long silence is not +0.0");
    }
}

void band_edges_are_checked() {
    const struct {
        BandEdges edges;
        std::uint64_t rate;
        const char* error;
    } cases[] = {
        {{200.0, 4000.0}, 16000, ""},
        {{200.0, 4000.0}, 8000, "band edge high_hz = 4000.0 Hz is not below the Nyquist frequency, 4000.0 Hz at sample_rate 8000"},
        {{0.0, std::nullopt}, 16000, "band edge low_hz = 0.0 Hz is not above 0 Hz"},
        {{-5.5, std::nullopt}, 16000, "band edge low_hz = -5.5 Hz is not above 0 Hz"},
        {{std::nullopt, std::numeric_limits<double>::quiet_NaN()}, 16000, "band edge high_hz = nan Hz is not a number"},
        {{std::nullopt, std::numeric_limits<double>::infinity()}, 16000, "band edge high_hz = inf Hz is not below the Nyquist frequency, 8000.0 Hz at sample_rate 16000"},
        {{3000.0, 300.0}, 16000, "band edges out of order: low_hz = 3000.0 Hz is not below high_hz = 300.0 Hz"},
        {{300.0, 300.0}, 16000, "band edges out of order: low_hz = 300.0 Hz is not below high_hz = 300.0 Hz"},
        {{1e-3, std::nullopt}, 0, "band edge low_hz = 0.001 Hz is not below the Nyquist frequency, 0.0 Hz at sample_rate 0"},
        {{}, 0, ""},
    };
    for (const auto& c : cases) {
        const std::string error = band_edges_error(c.edges, c.rate);
        CHECK(error == c.error, "band error: %s", error.c_str());
        bool threw = false;
        try {
            BandFilter f(c.edges, c.rate);
        } catch (const CheckFailed& e) {
            threw = e.what() == error;
        }
        CHECK(threw == !error.empty(), "band filter constructor for: %s", c.error);
    }
}

void integers_round_half_to_even_and_saturate() {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double v;
        std::int16_t i16;
        std::int32_t i32;
    } cases[] = {
        {0.5, 0, 0},       {1.5, 2, 2},         {2.5, 2, 2},          {-0.5, 0, 0},    {-1.5, -2, -2},
        {-2.4999, -2, -2}, {32767.5, 32767, 32768}, {-32768.5, -32768, -32768}, {40000.7, 32767, 40001},
        {-2147483648.5, -32768, -2147483648}, {2147483647.5, 32767, 2147483647}, {1e300, 32767, 2147483647},
        {inf, 32767, 2147483647}, {-inf, -32768, -2147483648}, {nan, 0, 0},
    };
    for (const auto& c : cases) {
        CHECK(round_saturate<std::int16_t>(c.v) == c.i16, "int16 of %.17g", c.v);
        CHECK(round_saturate<std::int32_t>(c.v) == c.i32, "int32 of %.17g", c.v);
    }
    // Presets drop an edge at or above 0.9 of the Nyquist frequency.
    const auto speech = [](std::uint64_t rate) { return band_preset("speech", rate).value(); };
    CHECK(speech(16000).low_hz == 200.0 && speech(16000).high_hz == 4000.0, "speech at 16 kHz");
    CHECK(speech(8000).low_hz == 200.0 && !speech(8000).high_hz, "speech at 8 kHz");
    CHECK(!speech(444).low_hz && !speech(444).high_hz && speech(445).low_hz == 200.0, "speech edge limit");
    CHECK(!band_preset("voice", 16000), "unknown preset");
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261208);
    for (const EnergyPath& path : energy_paths()) {
        std::printf("energy path %-12s %s\n", path.name, path.available() ? "checked" : "not available here");
    }
    energy_paths_agree(rng);
    for (const LatticePath& path : lattice_paths()) {
        std::printf("lattice path %-12s %s\n", path.name, path.available() ? "checked" : "not available here");
    }
    lattice_paths_agree();
    ramp_rule_matches_literal(rng);
    floor_hints_change_nothing(rng);
    cleaning_reach_bounds_the_passes(rng);
    changed_selection_matches_sort(rng);
    settled_keys_keep_their_multiset(rng);
    batch_paths_agree(rng);
    PathCounts paths;
    streaming_agrees_with_plain(rng, paths);
    off_grid_streams_agree_with_plain(rng, paths);
    moving_floor_streams_agree_with_plain(rng, paths);
    std::printf("fast paths: lanes %d, keyed %d, bounded %d, off-grid phases %d, window lattice %d, keys in a "
                "range %d (floor outside it %d, recentred %d)\n",
                paths.lanes, paths.keyed, paths.bounded, paths.phases, paths.lattice, paths.ranged, paths.left,
                paths.recentred);
    // The rounds are built to reach every fast path; a change that stopped them
    // from being taken would leave only the slow paths tested.
    CHECK(paths.lanes > 1000 && paths.keyed > 1000 && paths.bounded > 1000 && paths.phases > 1000 &&
              paths.lattice > 1000 && paths.ranged > 1000 && paths.left > 0 && paths.recentred > 100,
          "fast paths not reached: lanes %d, keyed %d, bounded %d, off-grid phases %d, window lattice %d", paths.lanes,
          paths.keyed, paths.bounded, paths.phases, paths.lattice);
    failed_chunk_changes_nothing(rng);
    float_texts_are_shortest();
    band_filter_golden_bits();
    noise_rule_golden_bits();
    band_filter_chunks_agree(rng);
    band_edges_are_checked();
    integers_round_half_to_even_and_saturate();
    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
