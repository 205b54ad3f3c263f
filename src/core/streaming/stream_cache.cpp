// The streaming gate's caches: reused energies, resumed smoothing, hinted floor.
#include "streaming/stream_cache.hpp"

#include <algorithm>
#include <bit>

#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"

namespace talvane {

namespace {

// Ranks kept on each side of the floor's in a FloorHint.
constexpr std::size_t kHintMargin = 8;

// The floor's keys (as select_ranked_keys finds them) and the keys kHintMargin
// ranks below lo and above hi, clipped to the keys.
struct Bracketed {
    RankedKeys floor;
    std::uint32_t below, above;
};

Bracketed select_with_bracket(std::span<std::uint32_t> keys, std::size_t lo, std::size_t hi) {
    Bracketed out{select_ranked_keys(keys, lo, hi), 0, 0};
    // select_ranked_keys left keys[lo] in place with nothing larger before it and
    // nothing smaller after it, so each neighbouring rank is found on its side alone.
    const auto lo_it = keys.begin() + static_cast<std::ptrdiff_t>(lo);
    const std::size_t below_rank = lo - std::min(lo, kHintMargin);
    const auto below_it = keys.begin() + static_cast<std::ptrdiff_t>(below_rank);
    std::nth_element(keys.begin(), below_it, lo_it);
    out.below = *below_it;
    const std::size_t above_rank = hi + std::min(keys.size() - 1 - hi, kHintMargin);
    if (above_rank == lo) {
        out.above = *lo_it;  // the floor is the largest key: there is nothing after it
    } else {
        const auto above_it = keys.begin() + static_cast<std::ptrdiff_t>(above_rank);
        std::nth_element(lo_it + 1, above_it, keys.end());
        out.above = *above_it;
    }
    return out;
}

}  // namespace

void StreamCache::commit(std::uint64_t analysed_window_len, std::vector<float>& analysed_energies,
                         std::vector<float>& analysed_smoothed, std::uint64_t dropped, std::uint64_t total) noexcept {
    count = 0;
    if (dropped % analysed_window_len != 0) return;  // the context's windows would be misaligned
    window_len = analysed_window_len;
    energies.swap(analysed_energies);
    smoothed.swap(analysed_smoothed);
    first = dropped / analysed_window_len;
    count = total / analysed_window_len - first;  // complete windows of the new context
}

std::vector<float> combined_energies(const StreamCache& cache, bool use_cache, std::span<const float> context,
                                     std::span<const float> chunk, std::uint64_t w, std::size_t& reused) {
    const std::uint64_t c = context.size();
    const std::uint64_t total = c + chunk.size();
    const std::uint64_t n_windows = window_count(total, w);
    std::vector<float> energies(n_windows);

    const std::uint64_t in_context = c / w;  // complete windows inside the context
    std::uint64_t t = 0;
    if (use_cache && cache.window_len == w) {
        t = std::min<std::uint64_t>(cache.count, in_context);
        std::copy_n(cache.energies.begin() + static_cast<std::ptrdiff_t>(cache.first), t, energies.begin());
    }
    reused = t;
    if (t < in_context) {
        window_energies_range(context, w, t, in_context, energies.data() + t);
        t = in_context;
    }
    if (t < n_windows && t * w < c) {
        const std::uint64_t len = std::min<std::uint64_t>(w, total - t * w);
        std::vector<float> join(context.begin() + static_cast<std::ptrdiff_t>(t * w), context.end());
        join.insert(join.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(len - join.size()));
        window_energies_range(join, len, 0, 1, energies.data() + t);
        ++t;
    }
    if (t < n_windows) {
        window_energies_range(chunk.subspan(t * w - c), w, 0, n_windows - t, energies.data() + t);
    }
    return energies;
}

std::vector<float> resume_smoothing(std::span<const float> energies, float alpha, std::span<const float> known) {
    std::vector<float> smoothed(energies.size());
    if (energies.empty()) return smoothed;
    float running = energies[0];  // as smooth_energies starts
    std::size_t t = 0;
    for (; t < known.size(); ++t) {
        running = smooth_step(running, alpha, energies[t]);
        smoothed[t] = running;
        if (std::bit_cast<std::uint32_t>(running) == std::bit_cast<std::uint32_t>(known[t])) {
            // Same value, then the same energies and steps: the rest of `known` follows.
            std::copy(known.begin() + static_cast<std::ptrdiff_t>(t + 1), known.end(),
                      smoothed.begin() + static_cast<std::ptrdiff_t>(t + 1));
            running = known.back();
            t = known.size();
            break;
        }
    }
    for (; t < energies.size(); ++t) {
        running = smooth_step(running, alpha, energies[t]);
        smoothed[t] = running;
    }
    return smoothed;
}

float hinted_noise_floor(std::span<const float> smoothed, float percentile, FloorHint& hint) {
    const std::size_t n = smoothed.size();
    if (n < 2) return noise_floor(smoothed, percentile);
    const FloorRanks ranks = floor_ranks(n, percentile);
    std::vector<std::uint32_t> keys(n);
    std::size_t offset = 0;  // rank of the first key searched
    std::span<std::uint32_t> searched;
    if (hint.valid) {
        // One pass counts the keys below the bracket and gathers those in it; when
        // both ranks fall among them, only those are searched.
        std::size_t below = 0, inside = 0;
        for (std::size_t t = 0; t < n; ++t) {
            const std::uint32_t key = total_order_key(smoothed[t]);
            below += key < hint.below_key ? 1 : 0;
            keys[inside] = key;
            inside += key >= hint.below_key && key <= hint.above_key ? 1 : 0;
        }
        if (ranks.lo >= below && ranks.hi - below < inside) {
            offset = below;
            searched = std::span(keys.data(), inside);
        }
    }
    if (searched.empty()) {
        for (std::size_t t = 0; t < n; ++t) keys[t] = total_order_key(smoothed[t]);
        searched = keys;
    }
    const Bracketed found = select_with_bracket(searched, ranks.lo - offset, ranks.hi - offset);
    hint = FloorHint{true, found.below, found.above};
    return interpolate_floor(from_total_order_key(found.floor.low), from_total_order_key(found.floor.high), ranks);
}

}  // namespace talvane
