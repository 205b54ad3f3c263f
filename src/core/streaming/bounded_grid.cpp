// Bounded calls: the prefix of squares, each window's energy bounded from it, smoothed bounds, the call's analysis.
#include "streaming/bounded_grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "analysis/keep_mask.hpp"
#include "streaming/bounded_select.hpp"
#include "streaming/stream_analysis.hpp"

namespace talvane {

namespace {

// Blocks of the prefix: at least this many samples (a power of two, at least a
// window), so a window crosses at most one block boundary and a sum's rounding,
// relative to its block's energy, stays far below a float32 sum's.
constexpr std::uint64_t kLeastBlock = 4096;  // samples

// Windows up to this long only: the bound on a float32 sum of L squares, (L + 4)
// units of 2^-23, stays below 2^-9 of it, so the first-order bound holds.
constexpr std::uint64_t kLongestWindow = 8192;  // samples

// A block total above this (or not finite) gives no prefix: float32 sums of such
// squares could overflow, and a sum that overflows is not bounded by its terms.
constexpr double kLargestTotal = 0x1p100;

// Fewer windows than this are analysed as before: a fresh analysis is cheap there.
constexpr std::size_t kLeastWindows = 32;

void move_doubles(double* dst, const double* src, std::size_t count) noexcept {
    if (count != 0) std::memmove(dst, src, count * sizeof(double));
}

std::uint64_t block_for(std::uint64_t window_len) noexcept {
    return std::bit_ceil(std::max(window_len, kLeastBlock));
}

// The squares of samples [from, to) of the stream appended to the step: each
// position's sum within its block after it, and the blocks' totals.
void extend(PrefixStep& step, const Combined& combined, std::uint64_t from, std::uint64_t to, double running) {
    const std::uint64_t join = combined.start + combined.context.size();
    double total = step.totals.back();
    for (std::uint64_t p = from; p < to; ++p) {
        const auto x = static_cast<double>(p < join ? combined.context[p - combined.start] : combined.chunk[p - join]);
        running += x * x;  // the square of a float32 is exact in double
        total += x * x;
        if ((p + 1 - step.origin) % step.block == 0) {
            step.totals.back() = total;
            step.totals.push_back(0.0);
            running = total = 0.0;
        }
        step.tail.push_back(running);
    }
    step.totals.back() = total;
}

bool totals_usable(const std::vector<double>& totals) noexcept {
    bool ok = true;
    for (const double t : totals) ok = ok && t <= kLargestTotal;  // false for NaN
    return ok;
}

// The prefix as the call sees it: the held values, then the step's.
struct PrefixReader {
    const SquarePrefix& held;
    const PrefixStep& step;

    double within(std::uint64_t p) const noexcept {
        return p < step.tail_from ? held.within.data()[p - held.first] : step.tail[p - step.tail_from];
    }
    double total(std::uint64_t b) const noexcept {
        return b < step.tail_block ? held.totals.data()[b - held.first_block] : step.totals[b - step.tail_block];
    }
};

// The RMS of a window from its sum of squares, as window_energies forms it: a
// division and a square root, each correctly rounded and so monotone in the sum.
float rms(float sum, std::uint64_t count) { return std::sqrt(sum / static_cast<float>(count)); }

// Bounds of the energy of the window of `len` samples at stream position o. Its
// squares' exact sum d is known from the prefix within err, which covers the
// rounding of the double sums (each at most 2 * block units of 2^-53 of its
// block's total) with room to spare. The float32 sum S that window_energies makes
// adds squares each within 2^-24 of the true one (or 2^-150 when subnormal), in
// len - 1 additions each within 2^-24 of their result: S lies within (len + 1) *
// 2^-24 of d and len * 2^-150. The bounds take twice that, which also covers their
// own double steps and rounding to float32.
void bound_window(const PrefixReader& r, std::uint64_t o, std::uint64_t len, float& lo, float& hi) {
    const PrefixStep& s = r.step;
    const std::uint64_t b = (o - s.origin) / s.block, b2 = (o + len - s.origin) / s.block;
    const double r1 = r.within(o), r2 = r.within(o + len), t1 = r.total(b), t2 = r.total(b2);
    const double d = b2 == b ? r2 - r1 : (t1 - r1) + r2;
    const double err = static_cast<double>(2 * s.block + 8) * 0x1p-53 * (t1 + t2 + std::abs(d));
    const double rel = static_cast<double>(len + 4) * 0x1p-23, tiny = static_cast<double>(len + 2) * 0x1p-149;
    const double slo = std::max(0.0, d - err) * (1.0 - rel) - tiny, shi = (d + err) * (1.0 + rel) + tiny;
    lo = rms(slo > 0.0 ? static_cast<float>(slo) : 0.0f, len);
    hi = rms(static_cast<float>(shi), len);
}

// Bounds of every window's smoothed value: the recurrence is monotone in both its
// running value and its energy when 0 <= alpha <= 1 (each rounded step is), so the
// same float recurrence over the lower bounds gives a lower bound, and likewise above.
void bound_smoothed(const PrefixReader& r, const Combined& combined, std::uint64_t w, std::size_t n, float alpha,
                    float* lo, float* hi) {
    const std::uint64_t total = combined.context.size() + combined.chunk.size();
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t at = k * w;
        bound_window(r, combined.start + at, std::min(w, total - at), lo[k], hi[k]);
    }
    float running_lo = lo[0], running_hi = hi[0];  // the running value starts at E[0]
    for (std::size_t k = 0; k < n; ++k) {
        running_lo = smooth_step(running_lo, alpha, lo[k]);
        running_hi = smooth_step(running_hi, alpha, hi[k]);
        lo[k] = running_lo;
        hi[k] = running_hi;
    }
}

template <typename T>
T* room(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

}  // namespace

bool analyse_bounded(StreamAnalysis& a, const GateConfig& config, const StreamCaches& caches, const Combined& combined) {
    if (!a.prefix.extends || a.n < kLeastWindows) return false;
    BoundedCall& c = a.bounded_call;
    const PrefixReader reader{caches.prefix, a.prefix};
    bound_smoothed(reader, combined, a.window_len, a.n, config.smooth_alpha, room(c.lo, a.n), room(c.hi, a.n));
    for (std::vector<float>* v : {&c.energies, &c.exact, &c.values}) room(*v, a.n);
    room(c.picked, a.n);
    std::uint8_t* known = room(c.known, a.n);
    std::fill(known, known + a.n, std::uint8_t{0});
    const BoundedGrid g{c, combined, a.window_len, a.n, config.smooth_alpha};
    for (std::size_t id = 0; id < kRankCount; ++id) {
        const FloorRanks ranks = floor_ranks(a.n, rank_percentile(config, static_cast<RankId>(id)));
        const RankHint& hint = caches.hints[id];
        const BoundedRank r = select_bounded_rank(g, ranks.lo, ranks.hi, hint.value, hint.band);
        a.ranked[id] = RankedKeys{total_order_key(r.low), total_order_key(r.high)};
        const float value = interpolate_floor(r.low, r.high, ranks);
        a.hints[id] = RankHint{value, r.band};
        if (id == kFloorRank) a.floor = value;
    }
    a.threshold = threshold_for(config, a.floor);
    bounded_flags(a, g, config, static_cast<std::size_t>(combined.context.size() / a.window_len));
    a.bounded = true;
    return true;
}

void SlidingDoubles::reserve(std::size_t most) {
    const std::size_t room = most + most / 4;
    if (storage_.size() >= room) return;
    std::vector<double> grown(room);
    move_doubles(grown.data(), data(), size_);
    storage_.swap(grown);
    start_ = 0;
}

void SlidingDoubles::slide(std::size_t drop, std::span<const double> tail) noexcept {
    start_ += drop;
    size_ -= drop;
    if (start_ + size_ + tail.size() > storage_.size()) {
        move_doubles(storage_.data(), storage_.data() + start_, size_);
        start_ = 0;
    }
    move_doubles(storage_.data() + start_ + size_, tail.data(), tail.size());
    size_ += tail.size();
}

bool bounded_applies(const GateConfig& config, std::uint64_t window_len) noexcept {
    return config.smooth_alpha >= 0.0f && config.smooth_alpha <= 1.0f && window_len <= kLongestWindow;
}

void plan_prefix(PrefixStep& step, const SquarePrefix& held, bool same_stream, bool regime, const Combined& combined,
                 std::uint64_t window_len, std::uint64_t dropped) {
    const std::uint64_t context_end = combined.start + combined.context.size();
    step.keeps = step.extends = false;
    step.tail.clear();
    step.totals.clear();
    const bool covers = regime && same_stream && held.block != 0 && held.first <= combined.start && held.end == context_end &&
                        held.block == block_for(window_len);
    if (!regime) return;
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
        step.tail.push_back(0.0);
        extend(step, combined, step.next_first, step.end, 0.0);
    }
    step.keeps = totals_usable(step.totals);
    step.extends = covers && step.keeps;
}

void reserve_prefix(SquarePrefix& prefix, const PrefixStep& step, std::uint64_t limit) {
    if (!step.keeps) return;
    prefix.within.reserve(static_cast<std::size_t>(std::max(limit, step.end - step.next_first) + 1));
    prefix.totals.reserve(static_cast<std::size_t>(std::max(limit, step.end - step.next_first) / step.block + 3));
}

void reserve_bounded(SquarePrefix& prefix, PrefixStep& step, BoundedCall& call, std::uint64_t window_len,
                     std::uint64_t limit, std::size_t max_chunk) {
    const std::uint64_t samples = limit + max_chunk + 1;
    const auto blocks = static_cast<std::size_t>(samples / block_for(window_len) + 3);
    step.tail.reserve(static_cast<std::size_t>(samples));
    step.totals.reserve(blocks);
    prefix.within.reserve(static_cast<std::size_t>(samples));
    prefix.totals.reserve(blocks);
    const auto n = static_cast<std::size_t>(window_count(limit + max_chunk, window_len) + 1);
    for (std::vector<float>* v : {&call.lo, &call.hi, &call.energies, &call.exact, &call.values}) {
        if (v->size() < n) v->resize(n);
    }
    if (call.known.size() < n) call.known.resize(n);
    if (call.picked.size() < n) call.picked.resize(n);
    call.join.reserve(static_cast<std::size_t>(window_len));
}

void commit_prefix(SquarePrefix& prefix, const PrefixStep& step) noexcept {
    if (!step.keeps) {
        prefix.forget();
        return;
    }
    if (!step.extends) {
        prefix.within.clear();
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
    prefix.within.slide(static_cast<std::size_t>(std::min<std::uint64_t>(drop, prefix.within.size())),
                        std::span<const double>(step.tail).subspan(static_cast<std::size_t>(skip)));
    prefix.block = step.block;
    prefix.origin = step.origin;
    prefix.first = step.next_first;
    prefix.end = step.end;
    prefix.first_block = next_block;
}

}  // namespace talvane
