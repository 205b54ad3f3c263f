// Bounded calls: the prefix of squares, and the call's analysis from bounds of its windows' smoothed values.
#include "streaming/bounded_grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "analysis/keep_mask.hpp"
#include "streaming/bounded_chains.hpp"
#include "streaming/bounded_select.hpp"
#include "streaming/prefix_bounds.hpp"
#include "streaming/stream_analysis.hpp"

namespace talvane {

namespace {

// Blocks of the prefix: at least this many samples (a power of two, at least a
// window), so a window crosses at most one block boundary and a sum's rounding,
// relative to its block's energy, stays far below a float32 sum's.
constexpr std::uint64_t kLeastBlock = 4096;  // samples

// A block total above this (or not finite) gives no prefix: float32 sums of such
// squares could overflow, and a sum that overflows is not bounded by its terms.
constexpr double kLargestTotal = 0x1p100;

// Fewer windows than this are analysed as before: a fresh analysis is cheap there.
constexpr std::size_t kLeastWindows = 32;

std::uint64_t block_for(std::uint64_t window_len) noexcept {
    return std::bit_ceil(std::max(window_len, kLeastBlock));
}

// The squares of samples [from, to) of the stream appended to the step: the sum
// within its block after each position, and the blocks' totals. A block's total so
// far is the sum within it at its last position, so the last one is `running`.
void extend(PrefixStep& step, const Combined& combined, std::uint64_t from, std::uint64_t to, double running) {
    const std::uint64_t join = combined.start + combined.context.size();
    std::size_t out = step.tail_len;
    step.tail_len += static_cast<std::size_t>(to - from);
    if (step.tail.size() < step.tail_len) step.tail.resize(step.tail_len);
    for (std::uint64_t p = from; p < to;) {
        const std::uint64_t boundary = step.origin + ((p - step.origin) / step.block + 1) * step.block;
        const std::uint64_t piece = std::min({to, boundary, p < join ? join : to}) - p;
        const float* x = p < join ? combined.context.read(p - combined.start, piece) : combined.chunk.data() + (p - join);
        double* r = step.tail.data() + out;
        for (std::size_t i = 0; i < piece; ++i) {
            const auto v = static_cast<double>(x[i]);
            running += v * v;  // the square of a float32 is exact in double
            r[i] = running;
        }
        p += piece;
        out += static_cast<std::size_t>(piece);
        if (p == boundary) {
            step.totals.back() = running;
            step.totals.push_back(0.0);
            running = 0.0;
            r[piece - 1] = 0.0;
        }
    }
    step.totals.back() = running;
}

bool totals_usable(const std::vector<double>& totals) noexcept {
    bool ok = true;
    for (const double t : totals) ok = ok && t <= kLargestTotal;  // false for NaN
    return ok;
}


template <typename T>
T* room(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

}  // namespace

bool analyse_bounded(StreamAnalysis& a, const GateConfig& config, const StreamCaches& caches, const Combined& combined,
                     ThresholdRule rule) {
    if (!a.prefix.extends || a.n < kLeastWindows) return false;
    BoundedCall& c = a.bounded_call;
    const PrefixReader reader{caches.prefix, a.prefix};
    for (std::vector<float>* v : {&c.lo, &c.hi, &c.energies, &c.exact, &c.values}) room(*v, a.n);
    if (!chain_bounds(reader, combined, a.window_len, a.n, config.smooth_alpha, c)) {
        bound_smoothed(reader, combined, a.window_len, a.n, config.smooth_alpha, c);
        c.own_to = c.own_from = a.n;
    }
    room(c.picked, a.n);
    std::uint8_t* known = room(c.known, a.n);
    std::fill(known, known + a.n, std::uint8_t{0});
    const BoundedGrid g{c, combined, a.window_len, a.n, config.smooth_alpha, caches.prefix.columns};
    for (std::size_t id = 0; id < a.ranks; ++id) {
        const FloorRanks ranks = floor_ranks(a.n, rank_percentile(config, static_cast<RankId>(id)));
        const RankHint& hint = caches.hints[id];
        const std::optional<BoundedRank> found = select_bounded_rank(g, ranks.lo, ranks.hi, hint.value, hint.band);
        if (!found.has_value()) return false;
        const BoundedRank& r = *found;
        a.ranked[id] = RankedKeys{total_order_key(r.low), total_order_key(r.high)};
        const float value = interpolate_floor(r.low, r.high, ranks);
        a.hints[id] = RankHint{value, r.band};
        (id == kFloorRank ? a.floor : a.high) = value;
    }
    set_threshold(a, config, rule);
    bounded_flags(a, g, config, static_cast<std::size_t>(combined.context.size() / a.window_len));
    a.bounded = true;
    return true;
}


void plan_regime_prefix(PrefixStep& step, const SquarePrefix& held, bool same_stream, const Combined& combined,
                        std::uint64_t window_len, std::uint64_t dropped, float alpha) {
    const std::uint64_t context_end = combined.start + combined.context.size();
    step.keeps = step.extends = false;
    step.tail_len = 0;
    step.totals.clear();
    const bool covers = same_stream && held.block != 0 && held.first <= combined.start && held.end == context_end &&
                        held.block == block_for(window_len);
    step.end = combined.end();
    step.next_first = combined.start + dropped;
    step.block = block_for(window_len);
    if (covers) {
        step.origin = held.origin;
        step.tail_from = held.end + 1;
        step.tail_block = held.first_block + held.totals.size() - 1;
        step.totals.push_back(held.totals.data()[held.totals.size() - 1]);
        extend(step, combined, held.end, step.end, held.within.data()[held.end - held.first]);
    } else {
        step.origin = step.tail_from = step.next_first;
        step.tail_block = 0;
        step.totals.push_back(0.0);
        if (step.tail.empty()) step.tail.resize(1);
        step.tail[0] = 0.0;
        step.tail_len = 1;
        extend(step, combined, step.next_first, step.end, 0.0);
    }
    step.keeps = totals_usable(step.totals);
    step.extends = covers && step.keeps;
    step.columns.keeps = false;
    if (step.keeps) plan_columns(step.columns, held.columns, same_stream, combined, window_len, step.origin, step.next_first);
    step.chain_window = 0;
    step.mean_chunk = next_mean_chunk(covers ? held.mean_chunk : 0, combined.chunk.size());
    const bool chained = covers && held.chain_window == window_len;
    if (step.keeps && chains_pay(combined, window_len, step.mean_chunk, chained)) {
        extend_chains(step, held, covers, window_len, alpha);
    }
}

void reserve_kept_prefix(SquarePrefix& prefix, const PrefixStep& step, std::uint64_t limit) {
    reserve_columns(prefix.columns, step.columns, limit);
    const std::uint64_t keep = step.end - step.next_first;
    const auto positions = static_cast<std::size_t>(keep + 1);
    const auto most = static_cast<std::size_t>(std::max(limit, keep) + 1);
    prefix.within.reserve(positions, most);
    prefix.chain_lo.reserve(positions, most);
    prefix.chain_hi.reserve(positions, most);
    prefix.totals.reserve(static_cast<std::size_t>(keep / step.block + 3),
                          static_cast<std::size_t>(std::max(limit, keep) / step.block + 3));
}

void reserve_bounded(SquarePrefix& prefix, PrefixStep& step, BoundedCall& call, std::uint64_t window_len,
                     std::uint64_t limit, std::size_t max_chunk) {
    const std::uint64_t samples = limit + max_chunk + 1;
    const auto blocks = static_cast<std::size_t>(samples / block_for(window_len) + 3);
    for (std::vector<float>* v : {&step.chain_lo, &step.chain_hi}) {
        if (v->size() < samples) v->resize(static_cast<std::size_t>(samples));
    }
    if (step.tail.size() < samples) step.tail.resize(static_cast<std::size_t>(samples));
    if (step.columns.samples.size() < samples) step.columns.samples.resize(static_cast<std::size_t>(samples));
    SampleColumns& columns = prefix.columns;
    if (const std::size_t rows = column_rows(window_len, samples); columns.window == 0 && columns.rows < rows) {
        columns.squares.resize(rows * static_cast<std::size_t>(window_len));
        columns.rows = rows;
    }
    step.totals.reserve(blocks);
    prefix.within.reserve(static_cast<std::size_t>(samples), static_cast<std::size_t>(samples));
    prefix.chain_lo.reserve(static_cast<std::size_t>(samples), static_cast<std::size_t>(samples));
    prefix.chain_hi.reserve(static_cast<std::size_t>(samples), static_cast<std::size_t>(samples));
    prefix.totals.reserve(blocks, blocks);
    const auto n = static_cast<std::size_t>(window_count(limit + max_chunk, window_len) + 1);
    for (std::vector<float>* v : {&call.lo, &call.hi, &call.energies, &call.exact, &call.values}) {
        if (v->size() < n) v->resize(n);
    }
    if (call.known.size() < n) call.known.resize(n);
    if (call.picked.size() < n) call.picked.resize(n);
    call.join.reserve(static_cast<std::size_t>(window_len));
}

void commit_kept_prefix(SquarePrefix& prefix, const PrefixStep& step) noexcept {
    commit_columns(prefix.columns, step.columns);
    if (!step.extends) {
        prefix.within.clear();
        prefix.chain_lo.clear();
        prefix.chain_hi.clear();
        prefix.totals.clear();
        prefix.first = step.tail_from;
        prefix.first_block = step.tail_block;
    } else {
        prefix.totals.drop_back(1);  // the held last block's total is the step's first
    }
    const std::uint64_t next_block = (step.next_first - step.origin) / step.block;
    const std::uint64_t drop_blocks = next_block > prefix.first_block ? next_block - prefix.first_block : 0;
    const std::uint64_t skip_blocks = next_block > step.tail_block ? next_block - step.tail_block : 0;
    prefix.totals.slide(static_cast<std::size_t>(std::min<std::uint64_t>(drop_blocks, prefix.totals.size())),
                        std::span<const double>(step.totals).subspan(static_cast<std::size_t>(skip_blocks)));
    const std::uint64_t drop = step.next_first - prefix.first;
    const std::uint64_t skip = step.next_first > step.tail_from ? step.next_first - step.tail_from : 0;
    const auto dropped = static_cast<std::size_t>(std::min<std::uint64_t>(drop, prefix.within.size()));
    const auto skipped = static_cast<std::size_t>(skip);
    prefix.within.slide(dropped, std::span<const double>(step.tail.data(), step.tail_len).subspan(skipped));
    // Chains that go on slide as the prefix does; new ones (or none) replace the held.
    const bool chains_go_on = step.extends && step.chain_window != 0 && step.chain_from == step.tail_from;
    if (chains_go_on) {
        prefix.chain_lo.slide(dropped, std::span<const float>(step.chain_lo.data(), step.tail_len).subspan(skipped));
        prefix.chain_hi.slide(dropped, std::span<const float>(step.chain_hi.data(), step.tail_len).subspan(skipped));
    } else {
        prefix.chain_lo.clear();
        prefix.chain_hi.clear();
        if (step.chain_window != 0) {
            const auto from = static_cast<std::size_t>(step.next_first - step.chain_from);
            const auto kept = static_cast<std::size_t>(step.end + 1 - step.next_first);
            prefix.chain_lo.slide(0, std::span<const float>(step.chain_lo.data() + from, kept));
            prefix.chain_hi.slide(0, std::span<const float>(step.chain_hi.data() + from, kept));
        }
    }
    prefix.chain_window = step.chain_window;
    prefix.mean_chunk = step.mean_chunk;
    prefix.chain_origin = step.chain_origin;
    prefix.chain_alpha = step.chain_alpha;
    prefix.block = step.block;
    prefix.origin = step.origin;
    prefix.first = step.next_first;
    prefix.end = step.end;
    prefix.first_block = next_block;
}

}  // namespace talvane
