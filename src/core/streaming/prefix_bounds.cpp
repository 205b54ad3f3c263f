// Bounds of windows' energies from the prefix of squares, in vector passes; smoothed bounds.
#include "streaming/prefix_bounds.hpp"

#include "analysis/keep_mask.hpp"
#include "analysis/simd.hpp"

namespace talvane {


namespace {

// One window inside a block, as in_block makes it.
template <ErrorForm kForm>
void one_in_block(const EnergyBounds& b, double ends, double starts, double share, double block_err, float& lo,
                  float& hi) noexcept {
    if constexpr (kForm == ErrorForm::by_ends) {
        b.of_sums(ends, starts, 0.0, share, lo, hi);
    } else {
        lo = b.low(ends - starts, block_err);
        hi = b.high(ends - starts, block_err);
    }
}

// low and high of m windows inside one block of the prefix, window j's sum
// in[j * w + len] - in[j * w] within `block_err` by blocks, or share times those
// two's sum by ends, as one_window_sum gives it; four at a time where the vector
// unit allows, with the operations of low and high lane by lane (so the same bits).
#if TALVANE_X86
template <ErrorForm kForm>
void in_block(const EnergyBounds& b, const double* in, std::uint64_t w, std::size_t m, double share, double block_err,
              float* lo, float* hi) noexcept {
    const std::uint64_t len = b.len;
    const __m128d zero = _mm_setzero_pd(), down = _mm_set1_pd(1.0 - b.rel), up = _mm_set1_pd(1.0 + b.rel);
    const __m128d small = _mm_set1_pd(b.tiny), sv = _mm_set1_pd(share), ev = _mm_set1_pd(block_err);
    const __m128 n = _mm_set1_ps(static_cast<float>(len));
    // Windows j and j + 1's sums and errors; _mm_max_pd(x, 0) gives 0 for a NaN or a
    // zero x, as std::max(0.0, x) does.
    struct Two {
        __m128d d, e;
    };
    auto sums = [&](std::size_t j) {
        const double* p = in + j * w;
        const __m128d ends = _mm_loadh_pd(_mm_load_sd(p + len), p + w + len);
        const __m128d starts = _mm_loadh_pd(_mm_load_sd(p), p + w);
        if constexpr (kForm == ErrorForm::by_ends) {
            return Two{_mm_sub_pd(ends, starts), _mm_mul_pd(sv, _mm_add_pd(ends, starts))};
        } else {
            return Two{_mm_sub_pd(ends, starts), ev};
        }
    };
    auto low2 = [&](Two t) {
        const __m128d above = _mm_mul_pd(_mm_max_pd(_mm_sub_pd(t.d, t.e), zero), down);
        return _mm_cvtpd_ps(_mm_max_pd(_mm_sub_pd(above, small), zero));
    };
    auto high2 = [&](Two t) { return _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(_mm_add_pd(t.d, t.e), up), small)); };
    std::size_t j = 0;
    for (; j + 4 <= m; j += 4) {
        const Two t0 = sums(j), t1 = sums(j + 2);
        _mm_storeu_ps(lo + j, _mm_sqrt_ps(_mm_div_ps(_mm_movelh_ps(low2(t0), low2(t1)), n)));
        _mm_storeu_ps(hi + j, _mm_sqrt_ps(_mm_div_ps(_mm_movelh_ps(high2(t0), high2(t1)), n)));
    }
    for (; j < m; ++j) one_in_block<kForm>(b, in[j * w + b.len], in[j * w], share, block_err, lo[j], hi[j]);
}
#else
template <ErrorForm kForm>
void in_block(const EnergyBounds& b, const double* in, std::uint64_t w, std::size_t m, double share, double block_err,
              float* lo, float* hi) noexcept {
    for (std::size_t j = 0; j < m; ++j) one_in_block<kForm>(b, in[j * w + b.len], in[j * w], share, block_err, lo[j], hi[j]);
}
#endif

// Bounds of the energies of windows [0, count) of whole length w every w from
// stream position `start` into lo and hi. The windows inside one block of the held
// prefix, most of them, are two reads each, their error that block's; one across a
// block boundary adds the first block's total.
template <ErrorForm kForm>
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
        in_block<kForm>(bounds, within + (o - h.first), w, m, share, share * 6.0 * t1, lo + k, hi + k);
        k += m;
        if (k < in_held) {  // across the block's end: both blocks and both ends are held
            const std::uint64_t e = start + k * w;
            const double ends = within[e + w - h.first], starts = within[e - h.first];
            if constexpr (kForm == ErrorForm::by_ends) {
                bounds.of_sums(ends, starts, t1, share, lo[k], hi[k]);
            } else {
                const double err = share * 3.0 * (t1 + totals[b + 1 - h.first_block]);
                lo[k] = bounds.low((ends - starts) + t1, err);
                hi[k] = bounds.high((ends - starts) + t1, err);
            }
            ++k;
        }
    }
    for (; k < count; ++k) {
        double d = 0.0, err = 0.0;
        one_window_sum(r, start + k * w, w, share, kForm, d, err);
        lo[k] = bounds.low(d, err);
        hi[k] = bounds.high(d, err);
    }
}

// The two bounds' energies lo[0, n) and hi[0, n) smoothed in place from the running
// values, which go on from the last window (the analysis starts them at E[0]). Where the vector
// unit allows, the two recurrences run as the lanes of one vector, four windows a
// load: each lane's steps are those of smooth_step, (1 - alpha) * running + alpha *
// energy, rounded the same.
void smooth_both(float* lo, float* hi, std::size_t n, float alpha, float& running_lo, float& running_hi) {
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

}  // namespace

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
    energy_bounds<ErrorForm::by_blocks>(r, combined.start, w, n - 1, EnergyBounds(w), lo, hi);
    double d = 0.0, err = 0.0;
    one_window_sum(r, combined.start + (n - 1) * w, last_len, prefix_error_share(r.step.block), ErrorForm::by_blocks,
                   d, err);
    const EnergyBounds last(last_len);
    lo[n - 1] = last.low(d, err);
    hi[n - 1] = last.high(d, err);
    float running_lo = lo[0], running_hi = hi[0];
    smooth_both(lo, hi, n, alpha, running_lo, running_hi);
}


void bound_head(const PrefixReader& r, std::uint64_t start, std::uint64_t w, std::size_t first, std::size_t m,
                float alpha, float& running_lo, float& running_hi, float* lo, float* hi) {
    energy_bounds<ErrorForm::by_ends>(r, start + first * w, w, m, EnergyBounds(w), lo + first, hi + first);
    if (first == 0) {
        running_lo = lo[0];
        running_hi = hi[0];
    }
    smooth_both(lo + first, hi + first, m, alpha, running_lo, running_hi);
}

}  // namespace talvane
