// Bounded calls: the prefix of squares, each window's energy bounded from it, smoothed bounds, the call's analysis.
#include "streaming/bounded_grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "analysis/keep_mask.hpp"
#include "analysis/simd.hpp"
#include "streaming/bounded_select.hpp"
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

// The rounding of a window's sum from the prefix, as a share of its blocks' totals:
// each within-block sum is off by at most `block` units of 2^-53 of its block's
// total, and the sum's two or three terms add a few units; this is twice that. The
// sum itself is at most its two blocks' totals, so share * 3 * (t1 + t2) covers it
// and the totals' part both.
double prefix_error_share(std::uint64_t block) { return static_cast<double>(2 * block + 8) * 0x1p-53; }

// One window's sum through the reader, into d within err: the general case (a
// window reaching into the step's values).
void one_window_sum(const PrefixReader& r, std::uint64_t o, std::uint64_t len, double share, double& d, double& err) {
    const PrefixStep& s = r.step;
    const int shift = std::countr_zero(s.block);
    const std::uint64_t b = (o - s.origin) >> shift, b2 = (o + len - s.origin) >> shift;
    const double t1 = r.total(b), t2 = r.total(b2);
    d = (r.within(o + len) - r.within(o)) + (b2 != b ? t1 : 0.0);
    err = share * 3.0 * (t1 + t2);
}

// The RMS of a window from its sum of squares, as window_energies forms it: a
// division and a square root, each correctly rounded and so monotone in the sum.
float rms(float sum, std::uint64_t count) { return std::sqrt(sum / static_cast<float>(count)); }

// Bounds of the energy of a window of `len` samples whose squares' exact sum is d
// within err. The float32 sum S that window_energies makes adds squares each within
// 2^-24 of the true one (or 2^-150 when subnormal), in len - 1 additions each
// within 2^-24 of their result (so within gamma = (len - 1) * 2^-24 / (1 - (len - 1)
// * 2^-24) of the sum in all): S lies within (len + 1) * 2^-24 * (1 + 2^-8) of the
// exact sum for len up to kLongestBoundedWindow, and len * 2^-150. Two more units of 2^-24
// and of 2^-150 cover the rounding of the bound to float32 (to nearest, within
// 2^-24 of it or 2^-150), and 2^-50 the bounds' own double steps.
struct EnergyBounds {
    std::uint64_t len;
    double rel, tiny;
    explicit EnergyBounds(std::uint64_t length)
        : len(length), rel(static_cast<double>(length + 3) * 0x1p-24 * (1.0 + 0x1p-8) + 0x1p-50),
          tiny(static_cast<double>(length + 3) * 0x1p-150) {}
    float low(double d, double err) const noexcept {
        // max(0, s) rather than a branch, as the vector form has it.
        const double s = std::max(0.0, std::max(0.0, d - err) * (1.0 - rel) - tiny);
        return rms(static_cast<float>(s), len);
    }
    float high(double d, double err) const noexcept {
        return rms(static_cast<float>((d + err) * (1.0 + rel) + tiny), len);
    }
    // low and high of m windows inside one block of the prefix, window j's sum
    // in[j * w + len] - in[j * w] within e; four at a time where the vector unit
    // allows, with the operations of low and high lane by lane (so the same bits).
    void in_block(const double* in, std::uint64_t w, std::size_t m, double e, float* lo, float* hi) const noexcept;
};

#if TALVANE_X86
void EnergyBounds::in_block(const double* in, std::uint64_t w, std::size_t m, double e, float* lo,
                            float* hi) const noexcept {
    const __m128d zero = _mm_setzero_pd(), down = _mm_set1_pd(1.0 - rel), up = _mm_set1_pd(1.0 + rel);
    const __m128d small = _mm_set1_pd(tiny), ev = _mm_set1_pd(e);
    const __m128 n = _mm_set1_ps(static_cast<float>(len));
    // Windows j and j + 1's sums; _mm_max_pd(x, 0) gives 0 for a NaN or a zero x, as std::max(0.0, x) does.
    auto sums = [&](std::size_t j) {
        const double* p = in + j * w;
        const __m128d ends = _mm_loadh_pd(_mm_load_sd(p + len), p + w + len);
        return _mm_sub_pd(ends, _mm_loadh_pd(_mm_load_sd(p), p + w));
    };
    auto low2 = [&](__m128d dv) {
        return _mm_cvtpd_ps(_mm_max_pd(_mm_sub_pd(_mm_mul_pd(_mm_max_pd(_mm_sub_pd(dv, ev), zero), down), small), zero));
    };
    auto high2 = [&](__m128d dv) { return _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(_mm_add_pd(dv, ev), up), small)); };
    std::size_t j = 0;
    for (; j + 4 <= m; j += 4) {
        const __m128d d0 = sums(j), d1 = sums(j + 2);
        _mm_storeu_ps(lo + j, _mm_sqrt_ps(_mm_div_ps(_mm_movelh_ps(low2(d0), low2(d1)), n)));
        _mm_storeu_ps(hi + j, _mm_sqrt_ps(_mm_div_ps(_mm_movelh_ps(high2(d0), high2(d1)), n)));
    }
    for (; j < m; ++j) {
        const double d = in[j * w + len] - in[j * w];
        lo[j] = low(d, e);
        hi[j] = high(d, e);
    }
}
#else
void EnergyBounds::in_block(const double* in, std::uint64_t w, std::size_t m, double e, float* lo,
                            float* hi) const noexcept {
    for (std::size_t j = 0; j < m; ++j) {
        const double d = in[j * w + len] - in[j * w];
        lo[j] = low(d, e);
        hi[j] = high(d, e);
    }
}
#endif

// Bounds of the energies of windows [0, count) of whole length w every w from
// stream position `start` into lo and hi. The windows inside one block of the held
// prefix, most of them, are two reads each, their error that block's; one across a
// block boundary adds the first block's total.
void energy_bounds(const PrefixReader& r, std::uint64_t start, std::uint64_t w, std::size_t count,
                   const EnergyBounds& bounds, float* lo, float* hi) {
    const PrefixStep& s = r.step;
    const SquarePrefix& h = r.held;
    const int shift = std::countr_zero(s.block);
    const double share = prefix_error_share(s.block);
    const double* within = h.within.data();
    const double* totals = h.totals.data();
    const std::size_t in_held =
        start + w < s.tail_from ? std::min(count, static_cast<std::size_t>((s.tail_from - 1 - w - start) / w + 1)) : 0;
    std::size_t k = 0;
    while (k < in_held) {
        const std::uint64_t o = start + k * w;
        const std::uint64_t b = (o - s.origin) >> shift;
        const std::uint64_t block_end = s.origin + ((b + 1) << shift);
        const std::size_t inside = o + w < block_end ? static_cast<std::size_t>((block_end - 1 - w - o) / w + 1) : 0;
        const std::size_t m = std::min(in_held - k, inside);
        const double t1 = totals[b - h.first_block];
        bounds.in_block(within + (o - h.first), w, m, share * 6.0 * t1, lo + k, hi + k);
        k += m;
        if (k < in_held) {  // across the block's end: both blocks and both ends are held
            const std::uint64_t e = start + k * w;
            const double sum = (within[e + w - h.first] - within[e - h.first]) + t1;
            const double err = share * 3.0 * (t1 + totals[b + 1 - h.first_block]);
            lo[k] = bounds.low(sum, err);
            hi[k] = bounds.high(sum, err);
            ++k;
        }
    }
    for (; k < count; ++k) {
        double d = 0.0, err = 0.0;
        one_window_sum(r, start + k * w, w, share, d, err);
        lo[k] = bounds.low(d, err);
        hi[k] = bounds.high(d, err);
    }
}

// The two bounds' energies lo[0, n) and hi[0, n) smoothed in place, the running
// values starting at lo[0] and hi[0] as the analysis starts at E[0]. Where the vector
// unit allows, the two recurrences run as the lanes of one vector, four windows a
// load: each lane's steps are those of smooth_step, (1 - alpha) * running + alpha *
// energy, rounded the same.
void smooth_both(float* lo, float* hi, std::size_t n, float alpha) {
    float running_lo = lo[0], running_hi = hi[0];
    std::size_t k = 0;
#if TALVANE_X86
    const __m128 keep = _mm_set1_ps(1.0f - alpha), take = _mm_set1_ps(alpha);
    __m128 running = _mm_setr_ps(running_lo, running_hi, 0.0f, 0.0f);  // lanes 0, 1: low, high
    for (; k + 4 <= n; k += 4) {
        const __m128 l = _mm_loadu_ps(lo + k), h = _mm_loadu_ps(hi + k);
        const __m128 first = _mm_mul_ps(take, _mm_unpacklo_ps(l, h));   // windows k, k + 1 as pairs
        const __m128 second = _mm_mul_ps(take, _mm_unpackhi_ps(l, h));  // windows k + 2, k + 3
        const __m128 s0 = running = _mm_add_ps(_mm_mul_ps(keep, running), first);
        const __m128 s1 = running = _mm_add_ps(_mm_mul_ps(keep, running), _mm_movehl_ps(first, first));
        const __m128 s2 = running = _mm_add_ps(_mm_mul_ps(keep, running), second);
        const __m128 s3 = running = _mm_add_ps(_mm_mul_ps(keep, running), _mm_movehl_ps(second, second));
        const __m128 a = _mm_movelh_ps(s0, s1), b = _mm_movelh_ps(s2, s3);  // low, high, low, high
        _mm_storeu_ps(lo + k, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(hi + k, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    running_lo = _mm_cvtss_f32(running);
    running_hi = _mm_cvtss_f32(_mm_shuffle_ps(running, running, _MM_SHUFFLE(1, 1, 1, 1)));
#endif
    for (; k < n; ++k) {
        running_lo = lo[k] = smooth_step(running_lo, alpha, lo[k]);
        running_hi = hi[k] = smooth_step(running_hi, alpha, hi[k]);
    }
}

// Bounds of every window's smoothed value: the recurrence is monotone in both its
// running value and its energy when 0 <= alpha <= 1 (each rounded step is), so the
// same float recurrence over the lower bounds gives a lower bound, and likewise above.
// The energies' bounds are made first, over independent windows, then smoothed in place.
void bound_smoothed(const PrefixReader& r, const Combined& combined, std::uint64_t w, std::size_t n, float alpha,
                    BoundedCall& c) {
    const std::uint64_t total = combined.context.size() + combined.chunk.size();
    const std::uint64_t last_len = total - (n - 1) * w;  // the last window may be short
    float* lo = c.lo.data();
    float* hi = c.hi.data();
    energy_bounds(r, combined.start, w, n - 1, EnergyBounds(w), lo, hi);
    double d = 0.0, err = 0.0;
    one_window_sum(r, combined.start + (n - 1) * w, last_len, prefix_error_share(r.step.block), d, err);
    const EnergyBounds last(last_len);
    lo[n - 1] = last.low(d, err);
    hi[n - 1] = last.high(d, err);
    smooth_both(lo, hi, n, alpha);
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
    bound_smoothed(reader, combined, a.window_len, a.n, config.smooth_alpha, c);
    room(c.picked, a.n);
    std::uint8_t* known = room(c.known, a.n);
    std::fill(known, known + a.n, std::uint8_t{0});
    const BoundedGrid g{c, combined, a.window_len, a.n, config.smooth_alpha};
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
                        std::uint64_t window_len, std::uint64_t dropped) {
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
}

void reserve_kept_prefix(SquarePrefix& prefix, const PrefixStep& step, std::uint64_t limit) {
    const std::uint64_t keep = step.end - step.next_first;
    prefix.within.reserve(static_cast<std::size_t>(keep + 1), static_cast<std::size_t>(std::max(limit, keep) + 1));
    prefix.totals.reserve(static_cast<std::size_t>(keep / step.block + 3),
                          static_cast<std::size_t>(std::max(limit, keep) / step.block + 3));
}

void reserve_bounded(SquarePrefix& prefix, PrefixStep& step, BoundedCall& call, std::uint64_t window_len,
                     std::uint64_t limit, std::size_t max_chunk) {
    const std::uint64_t samples = limit + max_chunk + 1;
    const auto blocks = static_cast<std::size_t>(samples / block_for(window_len) + 3);
    if (step.tail.size() < samples) step.tail.resize(static_cast<std::size_t>(samples));
    step.totals.reserve(blocks);
    prefix.within.reserve(static_cast<std::size_t>(samples), static_cast<std::size_t>(samples));
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
                        std::span<const double>(step.tail.data(), step.tail_len).subspan(static_cast<std::size_t>(skip)));
    prefix.block = step.block;
    prefix.origin = step.origin;
    prefix.first = step.next_first;
    prefix.end = step.end;
    prefix.first_block = next_block;
}

}  // namespace talvane
