// The music measure's block sums, transform, whitening and per-bin sums, written
// once over a lane type (one double, a pair, four doubles) and compiled for each path.
#include "analysis/music_kernels.hpp"

#include "analysis/energy.hpp"
#include "analysis/music_lanes.hpp"
#include "analysis/music_measure.hpp"
#include "analysis/simd.hpp"

namespace talvane {

namespace {

constexpr const std::array<double, 65>& kQ = kMusicQuarterWave;

constexpr double cos_at(std::size_t n) {  // cos(2 pi n / 256), n = 0..255
    if (n <= 64) return kQ[n];
    if (n <= 128) return -kQ[128 - n];
    if (n <= 192) return -kQ[n - 128];
    return kQ[256 - n];
}
constexpr double sin_at(std::size_t n) { return n <= 64 ? kQ[64 - n] : kQ[n - 64]; }  // n = 0..128

constexpr std::array<double, kMusicFrame> make_hann() {
    std::array<double, kMusicFrame> h{};
    for (std::size_t n = 0; n < kMusicFrame; ++n) h[n] = 0.5 - 0.5 * cos_at(n);
    return h;
}
constexpr std::array<double, kMusicFrame> kHann = make_hann();

constexpr std::size_t kPoints = 128;  // the complex transform's length

constexpr std::array<std::uint8_t, kPoints> make_bit_reversal() {
    std::array<std::uint8_t, kPoints> r{};
    for (std::size_t i = 0; i < kPoints; ++i) {
        std::size_t v = 0;
        for (std::size_t b = 0; b < 7; ++b) v |= ((i >> b) & 1u) << (6 - b);
        r[i] = static_cast<std::uint8_t>(v);
    }
    return r;
}
constexpr std::array<std::uint8_t, kPoints> kBitReversal = make_bit_reversal();

// Each stage's twiddles side by side, so that its butterflies read them in order:
// the stage of half length H holds C and S of 256 j / (2 H), j = 0..H-1, from H - 1.
struct Twiddles {
    std::array<double, kPoints - 1> c{}, s{};
};
constexpr Twiddles make_twiddles() {
    Twiddles t;
    for (std::size_t half = 1; half < kPoints; half *= 2) {
        for (std::size_t j = 0; j < half; ++j) {
            const std::size_t n = 128 * j / half;
            t.c[half - 1 + j] = cos_at(n);
            t.s[half - 1 + j] = sin_at(n);
        }
    }
    return t;
}
constexpr Twiddles kTwiddles = make_twiddles();

// C(k) and S(k) of the split step, k = 0..128.
struct BinTurns {
    std::array<double, kPoints + 1> c{}, s{};
};
constexpr BinTurns make_bin_table() {
    BinTurns t;
    for (std::size_t k = 0; k <= kPoints; ++k) t.c[k] = cos_at(k), t.s[k] = sin_at(k);
    return t;
}
constexpr BinTurns kBinTurns = make_bin_table();

// The complex transform's values; place 128 repeats place 0 for the split step.
struct Spectrum {
    alignas(16) double re[kPoints + 1];
    alignas(16) double im[kPoints + 1];
};

using namespace music_lanes;

// The frame times the window, then the first two stages at once: places 4p..4p+3
// hold z[i], z[i + 64], z[i + 32], z[i + 96] (i = the bit reversal of 4p), and the
// twiddles there are 1 and -i, applied as the exact additions and swaps they are
// (only the sign of a zero could differ, and no power sees it).
TALVANE_ALWAYS_INLINE void first_stages_alone(const double* x, Spectrum& z) {
    for (std::size_t p = 0; p < kPoints / 4; ++p) {
        const std::size_t i = kBitReversal[4 * p];
        const double ar = x[2 * i], ai = x[2 * i + 1], br = x[2 * i + 128], bi = x[2 * i + 129];
        const double cr = x[2 * i + 64], ci = x[2 * i + 65], dr = x[2 * i + 192], di = x[2 * i + 193];
        const double s0r = ar + br, s0i = ai + bi, s1r = ar - br, s1i = ai - bi;
        const double s2r = cr + dr, s2i = ci + di, s3r = cr - dr, s3i = ci - di;
        double* re = z.re + 4 * p;
        double* im = z.im + 4 * p;
        re[0] = s0r + s2r, im[0] = s0i + s2i, re[2] = s0r - s2r, im[2] = s0i - s2i;
        re[1] = s1r + s3i, im[1] = s1i - s3r, re[3] = s1r - s3i, im[3] = s1i + s3r;
    }
}

// The same with each complex value as a pair (re, im): z[i + 32] - z[i + 96] turned
// by -i is (im, -re), and subtracting it adds its negation, exactly.
template <class V>
TALVANE_ALWAYS_INLINE void first_stages(const double* x, Spectrum& z) {
    if constexpr (Lanes<V>::n == 1) {
        first_stages_alone(x, z);
    } else {
        using L = Lanes<Pair>;
        for (std::size_t p = 0; p < kPoints / 4; ++p) {
            const double* at = x + 2 * kBitReversal[4 * p];
            const Pair a = L::load(at), b = L::load(at + 128), c = L::load(at + 64), d = L::load(at + 192);
            const Pair s0 = a + b, s1 = a - b, s2 = c + d, s3 = turned(c - d);
            const Pair z0 = s0 + s2, z1 = s1 + s3, z2 = s0 - s2, z3 = s1 - s3;
            double* re = z.re + 4 * p;
            double* im = z.im + 4 * p;
            re[0] = z0[0], im[0] = z0[1], re[1] = z1[0], im[1] = z1[1];
            re[2] = z2[0], im[2] = z2[1], re[3] = z3[0], im[3] = z3[1];
        }
    }
}

// Block sums of kD samples each (kD = 0: `d`, known only at run time).
template <std::size_t kD>
TALVANE_ALWAYS_INLINE void write_blocks(const float* x, std::size_t count, std::uint64_t d, double* out) {
    const std::size_t n = kD == 0 ? static_cast<std::size_t>(d) : kD;
    for (std::size_t b = 0; b < count; ++b) {
        double sum = finite_or_zero(x[b * n]);
        for (std::size_t j = 1; j < n; ++j) sum += finite_or_zero(x[b * n + j]);
        out[b] = sum;
    }
}

// The block lengths of 8 to 48 kHz written out, so that each loop knows its stride.
TALVANE_ALWAYS_INLINE void blocks_with(const float* x, std::size_t count, std::uint64_t d, double* out) {
    switch (d) {
        case 1: write_blocks<1>(x, count, 1, out); break;
        case 2: write_blocks<2>(x, count, 2, out); break;
        case 3: write_blocks<3>(x, count, 3, out); break;
        case 4: write_blocks<4>(x, count, 4, out); break;
        case 5: write_blocks<5>(x, count, 5, out); break;
        case 6: write_blocks<6>(x, count, 6, out); break;
        default: write_blocks<0>(x, count, d, out); break;
    }
}

// x[n] = from[n] * h[n] for n < count, several at a time, then one by one.
template <class V>
TALVANE_ALWAYS_INLINE void times_window(const double* from, const double* h, std::size_t count, double* x) {
    std::size_t n = 0;
    for (; n + Lanes<V>::n <= count; n += Lanes<V>::n) {
        Lanes<V>::store(x + n, Lanes<V>::load(from + n) * Lanes<V>::load(h + n));
    }
    for (; n < count; ++n) x[n] = from[n] * h[n];
}

// The frame from the ring, times the window: two runs, split where the ring wraps.
template <class V>
TALVANE_ALWAYS_INLINE void windowed(const double* ring, std::uint32_t next, double* x) {
    const std::size_t wrap = kMusicFrame - next;
    times_window<V>(ring + next, kHann.data(), wrap, x);
    times_window<V>(ring, kHann.data() + wrap, next, x + wrap);
}

// One stage of half length kHalf, several butterflies at a time (each is the same
// formula, none reads another's result).
template <class V, std::size_t kHalf>
TALVANE_ALWAYS_INLINE void stage(Spectrum& z) {
    using L = Lanes<V>;
    const double* tc = kTwiddles.c.data() + kHalf - 1;
    const double* ts = kTwiddles.s.data() + kHalf - 1;
    for (std::size_t g = 0; g < kPoints; g += 2 * kHalf) {
        for (std::size_t j = 0; j < kHalf; j += L::n) {
            const V c = L::load(tc + j), s = L::load(ts + j);
            const V br = L::load(z.re + g + kHalf + j), bi = L::load(z.im + g + kHalf + j);
            const V ar = L::load(z.re + g + j), ai = L::load(z.im + g + j);
            const V tr = c * br + s * bi, ti = c * bi - s * br;
            L::store(z.re + g + kHalf + j, ar - tr), L::store(z.im + g + kHalf + j, ai - ti);
            L::store(z.re + g + j, ar + tr), L::store(z.im + g + j, ai + ti);
        }
    }
}

// The powers of bins k .. k + lanes - 1 from the complex transform (k + lanes - 1 <= 128).
template <class V>
TALVANE_ALWAYS_INLINE void split(const Spectrum& z, std::size_t k, double* p) {
    using L = Lanes<V>;
    const std::size_t mirror = kPoints - k - (L::n - 1);
    const V are = L::load(z.re + k), aim = L::load(z.im + k);
    const V bre = L::reversed(z.re + mirror), bim = L::reversed(z.im + mirror);
    const V half = L::both(0.5);
    const V er = half * (are + bre), ei = half * (aim - bim);
    const V orr = half * (aim + bim), oi = half * (bre - are);
    const V c = L::load(kBinTurns.c.data() + k), s = L::load(kBinTurns.s.data() + k);
    const V xr = er + (c * orr + s * oi), xi = ei + (c * oi - s * orr);
    L::store(p, xr * xr + xi * xi);
}

template <class V>
TALVANE_ALWAYS_INLINE void powers_with(const double* ring, std::uint32_t next, std::uint32_t first,
                                       std::uint32_t bins, double* p) {
    alignas(16) double x[kMusicFrame];
    windowed<V>(ring, next, x);
    Spectrum z;
    first_stages<V>(x, z);
    stage<V, 4>(z);
    stage<V, 8>(z);
    stage<V, 16>(z);
    stage<V, 32>(z);
    stage<V, 64>(z);
    z.re[kPoints] = z.re[0], z.im[kPoints] = z.im[0];
    std::uint32_t b = 0;
    for (; b + Lanes<V>::n <= bins; b += Lanes<V>::n) split<V>(z, first + b, p + b);
    for (; b < bins; ++b) split<double>(z, first + b, p + b);
}

template <class V>
TALVANE_ALWAYS_INLINE void whiten_lanes(const double* p, double* mean, float* white) {
    using L = Lanes<V>;
    const V most = L::both(kMusicWhiteMost), zero = L::both(0.0);
    const V a = L::load(mean), power = L::load(p);
    // Each quotient is computed, and chosen only where the mean is large enough.
    L::narrow(white, pick(power == zero, zero, pick(power >= most * a, most, power / a)));
    const V next = a + (power - a) * L::both(kMusicMeanWeight);
    L::store(mean, pick(next < L::both(kMusicMeanFloor), zero, next));
}

template <class V>
TALVANE_ALWAYS_INLINE void whiten_with(const double* p, double* mean, float* white, std::uint32_t bins,
                                       double* sum) {
    std::uint32_t b = 0;
    if (sum == nullptr) {
        for (; b + Lanes<V>::n <= bins; b += Lanes<V>::n) whiten_lanes<V>(p + b, mean + b, white + b);
        for (; b < bins; ++b) whiten_lanes<double>(p + b, mean + b, white + b);
        return;
    }
    // The sum's chain of dependent additions runs beside the whitening of the next
    // bins, where on its own it would follow it.
    double s = 0.0;
    for (; b + Lanes<V>::n <= bins; b += Lanes<V>::n) {
        whiten_lanes<V>(p + b, mean + b, white + b);
        for (std::size_t j = 0; j < Lanes<V>::n; ++j) s += static_cast<double>(white[b + j]);
    }
    for (; b < bins; ++b) {
        whiten_lanes<double>(p + b, mean + b, white + b);
        s += static_cast<double>(white[b]);
    }
    *sum = s;
}

struct TermsOut {
    double *uv, *uu, *vv, *up;
};

template <class V>
TALVANE_ALWAYS_INLINE void terms_lanes(const float* white, const float* last, const float* older, double m,
                                       double m_older, std::size_t b, TermsOut out) {
    using L = Lanes<V>;
    const V w = L::widen(white + b), zero = L::both(0.0);
    const V u = w - L::both(m), v = L::widen(older + b) - L::both(m_older), d = w - L::widen(last + b);
    L::store(out.uv + b, u * v), L::store(out.uu + b, u * u), L::store(out.vv + b, v * v);
    L::store(out.up + b, pick(zero < d, d, zero));
}

template <class V>
TALVANE_ALWAYS_INLINE void terms_with(const float* white, const float* last, const float* older, double m,
                                      double m_older, std::uint32_t bins, double* uv, double* uu, double* vv,
                                      double* up) {
    const TermsOut out{uv, uu, vv, up};
    std::uint32_t b = 0;
    for (; b + Lanes<V>::n <= bins; b += Lanes<V>::n) terms_lanes<V>(white, last, older, m, m_older, b, out);
    for (; b < bins; ++b) terms_lanes<double>(white, last, older, m, m_older, b, out);
}

// The sums of W of the batch's spectra, side by side.
template <class V>
TALVANE_ALWAYS_INLINE void white_sums(const double* table, std::uint32_t bins, double* out) {
    using L = Lanes<V>;
    for (std::size_t j = 0; j < kMusicBatch; j += L::n) {
        V sum = L::both(0.0);
        for (std::uint32_t b = 0; b < bins; ++b) sum = sum + L::load(table + b * kMusicRow + 2 + j);
        L::store(out + j, sum);
    }
}

template <class V>
TALVANE_ALWAYS_INLINE void sums_with(const double* table, std::uint32_t bins, double older_mean, double last_mean,
                                     MusicSums& out) {
    using L = Lanes<V>;
    white_sums<V>(table, bins, out.white);
    // The means of the spectra two before each of the batch's, then of each.
    double means[kMusicRow] = {older_mean, last_mean};
    for (std::size_t j = 0; j < kMusicBatch; ++j) means[2 + j] = out.white[j] / static_cast<double>(bins);
    for (std::size_t j = 0; j < kMusicBatch; j += L::n) {
        const V m = L::load(means + 2 + j), m_older = L::load(means + j), zero = L::both(0.0);
        V dot = zero, uu = zero, vv = zero, rise = zero;
        for (std::uint32_t b = 0; b < bins; ++b) {
            const double* row = table + b * kMusicRow + j;
            const V w = L::load(row + 2), u = w - m, v = L::load(row) - m_older, d = w - L::load(row + 1);
            dot = dot + u * v, uu = uu + u * u, vv = vv + v * v, rise = rise + pick(zero < d, d, zero);
        }
        L::store(out.dot + j, dot), L::store(out.uu + j, uu), L::store(out.vv + j, vv), L::store(out.rise + j, rise);
    }
}

// Each path's entry points: the templates above compiled for its lane type (and,
// for AVX2, its target).
#define TALVANE_MUSIC_PATH(NAME, ATTRIBUTE, V)                                                                   \
    ATTRIBUTE void NAME##_blocks(const float* x, std::size_t c, std::uint64_t d, double* out) {                 \
        blocks_with(x, c, d, out);                                                                               \
    }                                                                                                            \
    ATTRIBUTE void NAME##_powers(const double* r, std::uint32_t n, std::uint32_t f, std::uint32_t b, double* p) { \
        powers_with<V>(r, n, f, b, p);                                                                           \
    }                                                                                                            \
    ATTRIBUTE void NAME##_whiten(const double* p, double* m, float* w, std::uint32_t b, double* s) {            \
        whiten_with<V>(p, m, w, b, s);                                                                           \
    }                                                                                                            \
    ATTRIBUTE void NAME##_terms(const float* w, const float* l, const float* o, double m, double mo,             \
                                std::uint32_t b, double* uv, double* uu, double* vv, double* up) {               \
        terms_with<V>(w, l, o, m, mo, b, uv, uu, vv, up);                                                        \
    }                                                                                                            \
    ATTRIBUTE void NAME##_sums(const double* t, std::uint32_t b, double o, double l, MusicSums& out) {           \
        sums_with<V>(t, b, o, l, out);                                                                           \
    }
TALVANE_MUSIC_PATH(single, , double)
TALVANE_MUSIC_PATH(pair, , Pair)
#if TALVANE_MUSIC_QUADS
TALVANE_MUSIC_PATH(quad, TALVANE_AVX2, Quad)
#endif
#undef TALVANE_MUSIC_PATH

bool on_every_processor() { return true; }

constexpr MusicPath kPaths[] = {
    {"single", on_every_processor, {single_blocks, single_powers, single_whiten, single_terms, single_sums}},
    {"pairs", on_every_processor, {pair_blocks, pair_powers, pair_whiten, pair_terms, pair_sums}},
#if TALVANE_MUSIC_QUADS
    {"avx2", processor_has_avx2, {quad_blocks, quad_powers, quad_whiten, quad_terms, quad_sums}},
#endif
};

const MusicKernels& fastest() {
    std::size_t best = 0;
    for (std::size_t i = 0; i < std::size(kPaths); ++i) {
        if (kPaths[i].available()) best = i;
    }
    return kPaths[best].kernels;
}

}  // namespace

std::span<const MusicPath> music_paths() { return kPaths; }

const MusicKernels& music_kernels() {
    static const MusicKernels& chosen = fastest();
    return chosen;
}

}  // namespace talvane
