// The bounds' chains: their steps over a chunk's samples, and a call's bounds read from them.
#include "streaming/bounded_chains.hpp"

#include <algorithm>
#include <bit>
#include <optional>

#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"
#include "analysis/simd.hpp"

namespace talvane {

namespace {

// The chains' steps over m consecutive positions inside one block each for the
// window's end and its start: ends[i] and starts[i] are the prefix at the window's
// end and start, `across` the total of the start's block when the window crosses
// into the next (else 0), prev_lo[i] and prev_hi[i] the chains a window back. Four
// or eight positions a vector where the unit allows, with the operations of of_sums
// and smooth_step lane by lane (so the same bits).
struct ChainRun {
    const double* ends;
    const double* starts;
    const float* prev_lo;
    const float* prev_hi;
    double across;
};

#if TALVANE_X86
// Eight positions a step, on four-lane double and eight-lane float vectors: gives
// the count done.
TALVANE_AVX2 std::size_t chain_steps_avx2(const ChainRun& run, std::size_t m, const EnergyBounds& bounds, double share,
                                          float alpha, float* lo, float* hi) {
    const __m256d zero = _mm256_setzero_pd(), down = _mm256_set1_pd(1.0 - bounds.rel);
    const __m256d up = _mm256_set1_pd(1.0 + bounds.rel), small = _mm256_set1_pd(bounds.tiny);
    const __m256d sv = _mm256_set1_pd(share), av = _mm256_set1_pd(run.across);
    const __m256 n = _mm256_set1_ps(static_cast<float>(bounds.len));
    const __m256 keep = _mm256_set1_ps(1.0f - alpha), take = _mm256_set1_ps(alpha);
    std::size_t i = 0;
    for (; i + 8 <= m; i += 8) {
        __m128 l[2], h[2];
        for (int half = 0; half < 2; ++half) {
            const __m256d e = _mm256_loadu_pd(run.ends + i + 4 * half), s = _mm256_loadu_pd(run.starts + i + 4 * half);
            const __m256d d = _mm256_add_pd(_mm256_sub_pd(e, s), av);
            const __m256d r = _mm256_mul_pd(sv, _mm256_add_pd(_mm256_add_pd(e, s), av));
            l[half] = _mm256_cvtpd_ps(_mm256_max_pd(
                _mm256_sub_pd(_mm256_mul_pd(_mm256_max_pd(_mm256_sub_pd(d, r), zero), down), small), zero));
            h[half] = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(d, r), up), small));
        }
        const __m256 low8 = _mm256_sqrt_ps(_mm256_div_ps(_mm256_set_m128(l[1], l[0]), n));
        const __m256 high8 = _mm256_sqrt_ps(_mm256_div_ps(_mm256_set_m128(h[1], h[0]), n));
        const __m256 pl = _mm256_loadu_ps(run.prev_lo + i), ph = _mm256_loadu_ps(run.prev_hi + i);
        _mm256_storeu_ps(lo + i, _mm256_add_ps(_mm256_mul_ps(keep, pl), _mm256_mul_ps(take, low8)));
        _mm256_storeu_ps(hi + i, _mm256_add_ps(_mm256_mul_ps(keep, ph), _mm256_mul_ps(take, high8)));
    }
    return i;
}
#endif

void chain_steps(const ChainRun& run, std::size_t m, const EnergyBounds& bounds, double share, float alpha, float* lo,
                 float* hi) {
    std::size_t i = 0;
#if TALVANE_X86
    static const bool avx2 = processor_has_avx2();
    if (avx2) i = chain_steps_avx2(run, m, bounds, share, alpha, lo, hi);
    const __m128d zero = _mm_setzero_pd(), down = _mm_set1_pd(1.0 - bounds.rel), up = _mm_set1_pd(1.0 + bounds.rel);
    const __m128d small = _mm_set1_pd(bounds.tiny), sv = _mm_set1_pd(share), av = _mm_set1_pd(run.across);
    const __m128 n = _mm_set1_ps(static_cast<float>(bounds.len));
    const __m128 keep = _mm_set1_ps(1.0f - alpha), take = _mm_set1_ps(alpha);
    for (; i + 4 <= m; i += 4) {  // what the eight-position steps left, or all without them
        __m128 low4, high4;
        {
            const __m128d e0 = _mm_loadu_pd(run.ends + i), e1 = _mm_loadu_pd(run.ends + i + 2);
            const __m128d s0 = _mm_loadu_pd(run.starts + i), s1 = _mm_loadu_pd(run.starts + i + 2);
            const __m128d d0 = _mm_add_pd(_mm_sub_pd(e0, s0), av), d1 = _mm_add_pd(_mm_sub_pd(e1, s1), av);
            const __m128d r0 = _mm_mul_pd(sv, _mm_add_pd(_mm_add_pd(e0, s0), av));
            const __m128d r1 = _mm_mul_pd(sv, _mm_add_pd(_mm_add_pd(e1, s1), av));
            auto low2 = [&](__m128d d, __m128d r) {
                const __m128d above = _mm_mul_pd(_mm_max_pd(_mm_sub_pd(d, r), zero), down);
                return _mm_cvtpd_ps(_mm_max_pd(_mm_sub_pd(above, small), zero));
            };
            auto high2 = [&](__m128d d, __m128d r) {
                return _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(_mm_add_pd(d, r), up), small));
            };
            low4 = _mm_sqrt_ps(_mm_div_ps(_mm_movelh_ps(low2(d0, r0), low2(d1, r1)), n));
            high4 = _mm_sqrt_ps(_mm_div_ps(_mm_movelh_ps(high2(d0, r0), high2(d1, r1)), n));
        }
        const __m128 pl = _mm_loadu_ps(run.prev_lo + i), ph = _mm_loadu_ps(run.prev_hi + i);
        _mm_storeu_ps(lo + i, _mm_add_ps(_mm_mul_ps(keep, pl), _mm_mul_ps(take, low4)));
        _mm_storeu_ps(hi + i, _mm_add_ps(_mm_mul_ps(keep, ph), _mm_mul_ps(take, high4)));
    }
#endif
    for (; i < m; ++i) {
        float el = 0.0f, eh = 0.0f;
        bounds.of_sums(run.ends[i], run.starts[i], run.across, share, el, eh);
        lo[i] = smooth_step(run.prev_lo[i], alpha, el);
        hi[i] = smooth_step(run.prev_hi[i], alpha, eh);
    }
}

// Windows whose own bounds a call smooths at a time while it looks for the chains,
// and the most it smooths before giving up on them: the smoothing of two starts
// shrinks their gap by 1 - alpha a window, so with alpha 0.2 any two float32 starts
// have met within about 500 windows; only an alpha near 0 runs longer.
constexpr std::size_t kHeadStep = 32;      // windows
constexpr std::size_t kLongestHead = 1024;  // windows

// The call's own bounds of windows [0, limit), smoothed from window 0 as the
// analysis starts, kHeadStep windows at a time, until each equals the chain at that
// window's end (chain_lo[k * w], chain_hi[k * w]), bit for bit, at a window the
// chains hold (from their origin's first window on): gives the window from which
// both do, or nothing when they do not within `limit`.
std::optional<std::size_t> meet_chains(const PrefixReader& r, std::uint64_t start, std::uint64_t w, std::size_t limit,
                                       float alpha, const float* chain_lo, const float* chain_hi, BoundedCall& c) {
    const std::uint64_t origin = r.step.chain_origin;
    const auto valid = static_cast<std::size_t>((origin - std::min(origin, start) + w - 1) / w);
    if (valid >= limit) return std::nullopt;  // the chains begin too late in this context
    float running_lo = 0.0f, running_hi = 0.0f;
    std::size_t met_lo = limit, met_hi = limit;
    for (std::size_t k = 0; k < limit && (met_lo == limit || met_hi == limit); k += kHeadStep) {
        const std::size_t m = std::min(kHeadStep, limit - k);
        bound_head(r, start, w, k, m, alpha, running_lo, running_hi, c.lo.data(), c.hi.data());
        for (std::size_t j = std::max(k, valid); j < k + m; ++j) {
            const std::size_t at = j * static_cast<std::size_t>(w);
            if (met_lo == limit && same_bits(c.lo[j], chain_lo[at])) met_lo = j;
            if (met_hi == limit && same_bits(c.hi[j], chain_hi[at])) met_hi = j;
        }
    }
    if (met_lo == limit || met_hi == limit) return std::nullopt;
    return std::max(met_lo, met_hi);
}

// What each instruction figure of chains_pay stands for is said where it is declared.
constexpr std::uint64_t kChainPerSample = 14, kChainHead = 4000, kBoundsPerWindow = 30;  // instructions

// The chains' values made into the step, a position or a run of them at a time.
struct ChainMaker {
    const SquarePrefix& held;
    PrefixStep& step;
    EnergyBounds bounds;
    double share;
    float alpha;

    const double* within(std::uint64_t p) const noexcept {
        return p < step.tail_from ? held.within.data() + (p - held.first) : step.tail.data() + (p - step.tail_from);
    }
    std::uint64_t block_of(std::uint64_t p) const noexcept { return (p - step.origin) >> std::countr_zero(step.block); }
    std::uint64_t block_end(std::uint64_t p) const noexcept { return step.origin + (block_of(p) + 1) * step.block; }

    // The values from position p on: gives how many were made.
    std::size_t from(std::uint64_t p) const noexcept {
        const std::uint64_t w = bounds.len, origin = step.chain_origin, first = step.chain_from;
        float* lo = step.chain_lo.data() + (p - first);
        float* hi = step.chain_hi.data() + (p - first);
        if (p < origin + 2 * w) {  // no window yet (0), or a chain's first
            float el = 0.0f, eh = 0.0f;
            if (p >= origin + w) {
                double d = 0.0, err = 0.0;
                one_window_sum(PrefixReader{held, step}, p - w, w, share, ErrorForm::by_ends, d, err);
                el = bounds.low(d, err);
                eh = bounds.high(d, err);
            }
            *lo = smooth_step(el, alpha, el);
            *hi = smooth_step(eh, alpha, eh);
            return 1;
        }
        // A run of positions whose end, start and chains a window back each lie in one
        // block and one store (a position on a block's first sample belongs to that
        // block: its prefix is 0, and a window ending there adds the block before).
        const std::uint64_t q = p - w, tail = step.tail_from;
        std::uint64_t stop = std::min<std::uint64_t>(step.end + 1, std::min(block_end(p), block_end(q) + w));
        if (p < tail) stop = std::min(stop, tail);
        if (q < tail) stop = std::min(stop, tail + w);
        if (q < first) stop = std::min(stop, first + w);
        stop = std::min(stop, p + w);  // the chains a window back are all made before the run
        const bool held_prev = q < first;
        const ChainRun run{within(p), within(q),
                           held_prev ? held.chain_lo.data() + (q - held.first) : step.chain_lo.data() + (q - first),
                           held_prev ? held.chain_hi.data() + (q - held.first) : step.chain_hi.data() + (q - first),
                           block_of(p) != block_of(q) ? PrefixReader{held, step}.total(block_of(q)) : 0.0};
        const auto m = static_cast<std::size_t>(stop - p);
        chain_steps(run, m, bounds, share, alpha, lo, hi);
        return m;
    }
};

}  // namespace

bool chains_pay(const Combined& combined, std::uint64_t w, std::uint64_t mean_chunk, bool held) noexcept {
    const std::uint64_t windows = (combined.context.size() + combined.chunk.size()) / w;
    return windows * kBoundsPerWindow * (held ? 2 : 1) > mean_chunk * kChainPerSample + kChainHead;
}

// The running mean of the chunk lengths, over about the last eight calls.
std::uint64_t next_mean_chunk(std::uint64_t mean, std::uint64_t chunk) noexcept {
    return mean == 0 ? chunk : (7 * mean + chunk) / 8;
}

// The chains at positions [chain_from, end] into the step. They go on from the held
// ones when those are this smoothing's over windows of w (chain_from is then the
// step's first position); else they start again at the held prefix's first position,
// over the whole context (once), or at a new prefix's origin. A chain's first window
// starts at its own energy, as the analysis does.
void extend_chains(PrefixStep& step, const SquarePrefix& held, bool covers, std::uint64_t w, float alpha) {
    // Going on reads the prefix a window before the step's first position.
    const bool goes_on = covers && held.chain_window == w && same_bits(held.chain_alpha, alpha) &&
                         held.end + 1 >= held.first + w;
    step.chain_window = w;
    step.chain_alpha = alpha;
    step.chain_origin = goes_on ? held.chain_origin : covers ? held.first : step.origin;
    step.chain_from = goes_on ? step.tail_from : step.chain_origin;
    const auto count = static_cast<std::size_t>(step.end + 1 - step.chain_from);
    for (std::vector<float>* v : {&step.chain_lo, &step.chain_hi}) {
        if (v->size() < count) v->resize(count);
    }
    const ChainMaker make{held, step, EnergyBounds(w), prefix_error_share(step.block), alpha};
    for (std::size_t i = 0; i < count;) i += make.from(step.chain_from + i);
}

// The call's bounds from the chains. The call smooths its own bounds from its first
// window (the analysis's start) until each equals the held chain at that window's
// end, bit for bit. From there on its smoothing of the bounds and the chain's take
// the same energies' bounds (the same prefix values, the same operations) through
// the same steps, so they stay equal: the chain's values are the call's bounds. The
// windows ending in the step's positions are copied from its chains, the last (maybe
// short) one is bounded and smoothed on. False when the chains are not met within
// kLongestHead windows, before the step's positions; the call then bounds every
// window itself.
bool chain_bounds(const PrefixReader& r, const Combined& combined, std::uint64_t w, std::size_t n, float alpha,
                  BoundedCall& c) {
    const PrefixStep& s = r.step;
    const SquarePrefix& h = r.held;
    const std::uint64_t start = combined.start, first_end = start + w;
    if (s.chain_window != w) return false;
    // Windows [0, own_from) read the chains in one array: the held ones up to the
    // step's first position when they go on, else the step's, which hold them all.
    const bool in_step = s.chain_from <= first_end;
    if (!in_step && s.tail_from <= first_end) return false;
    const std::size_t own_from =
        in_step ? n - 1 : static_cast<std::size_t>(std::min<std::uint64_t>(n - 1, (s.tail_from - start - 1) / w));
    const std::uint64_t offset = in_step ? first_end - s.chain_from : first_end - h.first;
    const float* chain_lo = (in_step ? s.chain_lo.data() : h.chain_lo.data()) + offset;
    const float* chain_hi = (in_step ? s.chain_hi.data() : h.chain_hi.data()) + offset;
    const std::optional<std::size_t> met = meet_chains(r, start, w, std::min(own_from, kLongestHead), alpha, chain_lo,
                                                       chain_hi, c);
    if (!met.has_value()) return false;
    c.own_to = *met;
    c.own_from = own_from;
    c.stride = static_cast<std::size_t>(w);
    c.chain_lo = chain_lo;
    c.chain_hi = chain_hi;
    for (std::size_t k = own_from; k + 1 < n; ++k) {
        c.lo[k] = s.chain_lo[first_end + k * w - s.chain_from];
        c.hi[k] = s.chain_hi[first_end + k * w - s.chain_from];
    }
    double d = 0.0, err = 0.0;
    const std::uint64_t last_len = combined.context.size() + combined.chunk.size() - (n - 1) * w;
    one_window_sum(r, start + (n - 1) * w, last_len, prefix_error_share(s.block), ErrorForm::by_ends, d, err);
    const EnergyBounds last(last_len);
    c.lo[n - 1] = smooth_step(c.low(n - 2), alpha, last.low(d, err));
    c.hi[n - 1] = smooth_step(c.high(n - 2), alpha, last.high(d, err));
    return true;
}

}  // namespace talvane
