// Exact values of a bounded call where a result depends on them: the ranks' brackets, the threshold's undecided windows.
#include "streaming/bounded_select.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"
#include "analysis/simd.hpp"
#include "streaming/stream_analysis.hpp"

namespace talvane {

namespace {

// Windows a target's exact run starts before it at first. The bounds of a window's
// smoothed value lie about 3e-5 apart relative to it (the bound on a float32 sum of
// a window's squares); with alpha 0.2 each step shrinks the gap by 0.8, so two runs
// from the ends meet, to float32's half unit, after about 28 windows (the bounds'
// width over 2^-24 is about 440 = 1.25^27), 22 to 46 on speech in noise, four in
// five by 32. The energies are summed 16 windows side by side (window_energies_range),
// and a stretch of 28 costs what 32 do, so a run starts 32 back. A run that falls
// short is run again 16 further back: the energies it summed are kept, so only one
// more group of sums and its smoothing steps are spent again.
constexpr std::size_t kReachBack = 32;   // windows
constexpr std::size_t kReachGrowth = 16;  // windows

// The band a selection gathers in first, relative to the hint, and its growth when
// the ranks lie outside it: between two calls a 20th percentile moves by far less
// than this, so a band rarely needs widening, and one that does soon covers all.
constexpr float kLeastBand = 0x1p-10f;
constexpr float kBandGrowth = 8.0f;
constexpr float kWidestBand = 1.0f;  // past it, every window is gathered

// Groups of windows the columns sum in one pass.
constexpr std::size_t kBatchGroups = 8;

std::uint32_t bits(float v) noexcept { return std::bit_cast<std::uint32_t>(v); }

// The exact energies of windows [from, to) that are not yet known: eight at a time
// from the columns where they hold them (a group may reach past `to`: its windows'
// energies are exact too), else summed from the samples.
void ensure_energies(const BoundedGrid& g, std::size_t from, std::size_t to) {
    BoundedCall& c = g.call;
    constexpr std::size_t kGroup = SampleColumns::kGroupRows;
    std::size_t groups[kBatchGroups];
    std::size_t count = 0;
    auto held = [&](std::size_t k) {  // whole windows only: the last may be short
        return k + kGroup < g.n && column_group_held(g.columns, g.combined.start, k);
    };
    for (std::size_t k = from; k < to;) {
        if ((c.known[k] & kEnergyKnown) != 0) {
            ++k;
            continue;
        }
        if (held(k)) {
            for (std::size_t j = k; j < k + kGroup; ++j) c.known[j] |= kEnergyKnown;
            groups[count++] = k;
            if (count == kBatchGroups) {
                column_energies(g.columns, g.combined.start, std::span<const std::size_t>(groups, count), c.energies.data());
                count = 0;
            }
            k += kGroup;
            continue;
        }
        // A stretch of windows the columns do not hold, summed side by side.
        std::size_t e = k;
        while (e < to && (c.known[e] & kEnergyKnown) == 0 && !held(e)) c.known[e++] |= kEnergyKnown;
        direct_energies(g.combined, g.window_len, k, e, c.energies.data(), c.join);
        k = e;
    }
    column_energies(g.columns, g.combined.start, std::span<const std::size_t>(groups, count), c.energies.data());
}

// The exact run from window j to window last, from j's bounds (or its exact value,
// or the analysis's start when j is 0): false when the two ends have not met by
// window `target`, with nothing written.
bool run_exact(const BoundedGrid& g, std::size_t j, std::size_t target, std::size_t last) {
    BoundedCall& c = g.call;
    ensure_energies(g, j == 0 ? 0 : j + 1, last + 1);
    float a = g.lo(j), b = g.hi(j);
    std::size_t k = j + 1;
    if (j == 0) {
        a = b = c.energies[0];  // the running value starts at E[0], as the analysis starts it
        k = 0;
    } else if ((c.known[j] & kValueKnown) != 0) {
        a = b = c.exact[j];
    }
    bool met = bits(a) == bits(b);
    for (; k <= last; ++k) {
        if ((c.known[k] & kValueKnown) != 0) {
            a = b = c.exact[k];
            met = true;
            continue;
        }
        a = smooth_step(a, g.alpha, c.energies[k]);
        b = smooth_step(b, g.alpha, c.energies[k]);
        met = met || bits(a) == bits(b);
        if (!met && k >= target) return false;
        if (met) {
            c.exact[k] = a;
            c.known[k] |= kValueKnown;
        }
    }
    return true;
}

// The value at rank `rank` of `count` values (reordered).
float nth_value(float* values, std::size_t count, std::size_t rank) {
    std::nth_element(values, values + rank, values + count);
    return values[rank];
}

// The ranks' values among the exact values of the picked windows, `below` windows
// lying below all of them.
BoundedRank ranks_among(const BoundedGrid& g, std::size_t count, std::size_t below, std::size_t lo, std::size_t hi) {
    BoundedCall& c = g.call;
    resolve_exact(g, std::span<const std::uint32_t>(c.picked.data(), count));
    for (std::size_t i = 0; i < count; ++i) c.values[i] = c.exact[c.picked[i]];
    const float low = nth_value(c.values.data(), count, lo - below);
    // After the selection, every value past rank lo is at least it: rank hi = lo + 1 is their least.
    const float high = hi == lo ? low : *std::min_element(c.values.data() + (lo - below) + 1, c.values.data() + count);
    return BoundedRank{low, high, 0.0f};
}

// Set bits of a four-bit mask (the target need not have a population count instruction).
constexpr std::uint8_t kSetBits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

// One gathering within [blo, bhi]: the windows whose bounds meet it are appended to
// picked, those wholly below it counted in `under`. The comparisons are false for a
// NaN.
struct Gathering {
    std::uint32_t* picked;
    float blo, bhi;
    std::size_t m = 0, under = 0;

    // Windows [from, to) with their own bounds lo[k] and hi[k], four at a time where
    // the vector unit allows, with the comparisons of the scalar loop.
    void own(const float* lo, const float* hi, std::size_t from, std::size_t to) noexcept {
        std::size_t i = from, count = m, below = under;  // in registers through the loop
#if TALVANE_X86
        std::uint32_t* out = picked;
        const __m128 vlo = _mm_set1_ps(blo), vhi = _mm_set1_ps(bhi);
        for (; i + 4 <= to; i += 4) {
            const __m128 l = _mm_loadu_ps(lo + i), h = _mm_loadu_ps(hi + i);
            below += kSetBits[_mm_movemask_ps(_mm_cmplt_ps(h, vlo))];
            auto meet = static_cast<unsigned>(_mm_movemask_ps(_mm_and_ps(_mm_cmpge_ps(h, vlo), _mm_cmple_ps(l, vhi))));
            for (; meet != 0; meet &= meet - 1) out[count++] = static_cast<std::uint32_t>(i + std::countr_zero(meet));
        }
#endif
        m = count;
        under = below;
        for (; i < to; ++i) one(lo[i], hi[i], i);
    }
    // Windows [from, to) whose bounds are the chains' lo[k * stride] and hi[k * stride],
    // eight at a time where the processor gathers them.
    void strided(const float* lo, const float* hi, std::size_t stride, std::size_t from, std::size_t to) noexcept {
        std::size_t i = from;
#if TALVANE_X86
        static const bool avx2 = processor_has_avx2();
        if (avx2 && stride <= kMaxGatherIndex / 8) i = strided_avx2(lo, hi, stride, from, to);
#endif
        for (; i < to; ++i) one(lo[i * stride], hi[i * stride], i);
    }
#if TALVANE_X86
    // Its gathers take 32-bit indices, up to 7 * stride.
    static constexpr std::size_t kMaxGatherIndex = 0x7fffffff;
    TALVANE_AVX2 std::size_t strided_avx2(const float* lo, const float* hi, std::size_t stride, std::size_t from,
                                          std::size_t to) noexcept {
        const auto s = static_cast<int>(stride);
        const __m256i at = _mm256_setr_epi32(0, s, 2 * s, 3 * s, 4 * s, 5 * s, 6 * s, 7 * s);
        const __m256 vlo = _mm256_set1_ps(blo), vhi = _mm256_set1_ps(bhi);
        std::size_t i = from, count = m, below = under;
        std::uint32_t* out = picked;
        for (; i + 8 <= to; i += 8) {
            const __m256 l = _mm256_i32gather_ps(lo + i * stride, at, 4);
            const __m256 h = _mm256_i32gather_ps(hi + i * stride, at, 4);
            const auto low = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(h, vlo, _CMP_LT_OQ)));
            below += kSetBits[low & 15] + kSetBits[low >> 4];
            auto meet = static_cast<unsigned>(_mm256_movemask_ps(
                _mm256_and_ps(_mm256_cmp_ps(h, vlo, _CMP_GE_OQ), _mm256_cmp_ps(l, vhi, _CMP_LE_OQ))));
            for (; meet != 0; meet &= meet - 1) out[count++] = static_cast<std::uint32_t>(i + std::countr_zero(meet));
        }
        m = count;
        under = below;
        return i;
    }
#endif
    void one(float l, float h, std::size_t i) noexcept {
        under += h < blo ? 1 : 0;
        picked[m] = static_cast<std::uint32_t>(i);
        m += (h >= blo && l <= bhi) ? 1 : 0;
    }
};

// The gathering within [blo, bhi] over every window: gives the count gathered into
// picked and sets `below` to the count of those wholly below it.
std::size_t gather(const BoundedGrid& g, float blo, float bhi, std::size_t& below) {
    const BoundedCall& c = g.call;
    Gathering s{g.call.picked.data(), blo, bhi};
    const std::size_t to = std::min(c.own_to, g.n), from = std::max(c.own_from, to);
    s.own(c.lo.data(), c.hi.data(), 0, to);
    s.strided(c.chain_lo, c.chain_hi, c.stride, to, from);
    s.own(c.lo.data(), c.hi.data(), from, g.n);
    below = s.under;
    return s.m;
}

// A bracket [p, q] of the ranks from the gathered windows, when the band holds it:
// p, the (lo - below)-th least lower bound gathered, has at most lo values below it;
// q, the (hi - below)-th least upper bound, at least hi + 1 at or below it. Then
// only the gathered windows whose bounds meet [p, q] can hold the ranks; they are
// left in picked, and `below` counts every window wholly below p.
// Bounds is a functor giving a window's (low, high): its own arrays' when the call
// reads no chains, the call's accessors when it does.
template <class Bounds>
bool bracket_with(const BoundedGrid& g, const Bounds& bounds, std::size_t m, std::size_t& below, std::size_t lo,
                  std::size_t hi, float blo, float bhi, std::size_t& count) {
    BoundedCall& c = g.call;
    if (below > lo || below + m <= hi) return false;
    for (std::size_t i = 0; i < m; ++i) c.values[i] = bounds.low(c.picked[i]);
    const float p = nth_value(c.values.data(), m, lo - below);
    for (std::size_t i = 0; i < m; ++i) c.values[i] = bounds.high(c.picked[i]);
    const float q = nth_value(c.values.data(), m, hi - below);
    if (p < blo || q > bhi) return false;  // windows outside the band could meet [p, q]
    count = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t k = c.picked[i];
        const float l = bounds.low(k), h = bounds.high(k);
        below += h < p ? 1 : 0;
        c.picked[count] = k;
        count += (h >= p && l <= q) ? 1 : 0;
    }
    return true;
}

struct OwnBounds {
    const float* lo;
    const float* hi;
    float low(std::size_t k) const noexcept { return lo[k]; }
    float high(std::size_t k) const noexcept { return hi[k]; }
};

bool bracket(const BoundedGrid& g, std::size_t m, std::size_t& below, std::size_t lo, std::size_t hi, float blo,
             float bhi, std::size_t& count) {
    const BoundedCall& c = g.call;
    if (c.own_to >= g.n) return bracket_with(g, OwnBounds{c.lo.data(), c.hi.data()}, m, below, lo, hi, blo, bhi, count);
    return bracket_with(g, c, m, below, lo, hi, blo, bhi, count);
}

}  // namespace

void resolve_exact(const BoundedGrid& g, std::span<const std::uint32_t> targets) {
    const BoundedCall& c = g.call;
    std::size_t i = 0;
    while (i < targets.size()) {
        const std::size_t first = targets[i];
        std::size_t last = first, e = i + 1;
        while (e < targets.size() && targets[e] <= last + kReachBack) last = std::max<std::size_t>(last, targets[e++]);
        if ((c.known[first] & kValueKnown) == 0 || last != first) {
            for (std::size_t reach = kReachBack;; reach += kReachGrowth) {
                const std::size_t j = first > reach ? first - reach : 0;
                if (run_exact(g, j, first, last)) break;
            }
        }
        i = e;
    }
}

std::optional<BoundedRank> select_bounded_rank(const BoundedGrid& g, std::size_t lo, std::size_t hi, float hint, float band) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const bool hinted = hint > 0.0f && hint < kInf;
    float width = std::max(band, kLeastBand);
    for (bool first_try = true, all = false; !all; first_try = false, width *= kBandGrowth) {
        all = !hinted || width > kWidestBand;
        const float blo = all ? -kInf : hint * (1.0f - width), bhi = all ? kInf : hint * (1.0f + width);
        std::size_t below = 0, count = 0;
        const std::size_t m = gather(g, blo, bhi, below);
        if (!bracket(g, m, below, lo, hi, blo, bhi, count)) continue;  // the whole band always holds them
        BoundedRank r = ranks_among(g, count, below, lo, hi);
        r.band = first_try ? std::max(width / 2.0f, kLeastBand) : width;
        return r;
    }
    return std::nullopt;  // only with bounds that are not numbers, which finite samples do not give
}

void bounded_flags(StreamAnalysis& a, const BoundedGrid& g, const GateConfig& config, std::size_t chunk_first) {
    BoundedCall& c = g.call;
    set_flag_range(a, config, chunk_first);
    const float threshold = a.threshold.value;
    std::size_t open = 0;  // windows whose bounds lie on both sides of the threshold
    for (std::size_t t = a.first_flag; t < a.n; ++t) {
        c.picked[open] = static_cast<std::uint32_t>(t);
        open += (!is_voice(g.lo(t), threshold) && is_voice(g.hi(t), threshold)) ? 1 : 0;
    }
    resolve_exact(g, std::span<const std::uint32_t>(c.picked.data(), open));
    // The passes read each value only through is_voice, which is monotone: a bound
    // on the decided side stands for the value.
    for (std::size_t t = a.first_flag; t < a.n; ++t) {
        const float l = g.lo(t), h = g.hi(t);
        const bool voice = is_voice(l, threshold), silent = !is_voice(h, threshold);
        a.suffix[t - a.first_flag] = voice ? l : silent ? h : c.exact[t];
    }
    keep_flags_into(config, std::span<const float>(a.suffix.data(), a.flag_count), threshold, a.cleaning,
                    std::span<std::uint8_t>(a.flags.data(), a.flag_count));
}

}  // namespace talvane
