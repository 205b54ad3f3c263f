// The music measure: block sums into a ring, and at each spectrum the transform,
// the whitening and the two averaged measures.
#include "analysis/music_measure.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

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

// The frame times the window, then the first two stages at once: places 4p..4p+3
// hold z[i], z[i + 64], z[i + 32], z[i + 96] (i = the bit reversal of 4p), and the
// twiddles there are 1 and -i, applied as the exact additions and swaps they are
// (only the sign of a zero could differ, and no power sees it).
void first_stages(const double* x, Spectrum& z) {
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

// Two doubles side by side, every operation the IEEE one on each: vector registers
// on GCC and Clang (SSE2, NEON), a plain pair elsewhere (TALVANE_PLAIN_PAIRS picks
// it anywhere, to check that both give the same bits).
#if (defined(__GNUC__) || defined(__clang__)) && !defined(TALVANE_PLAIN_PAIRS)
typedef double Pair __attribute__((vector_size(16)));
// a where m is set, else b (m from a comparison of pairs).
template <class Mask>
TALVANE_ALWAYS_INLINE Pair pick(Mask m, Pair a, Pair b) {
    return std::bit_cast<Pair>((std::bit_cast<Mask>(a) & m) | (std::bit_cast<Mask>(b) & ~m));
}
#else
struct Pair {
    double v[2];
    double operator[](int i) const { return v[i]; }
};
struct PairMask {
    bool v[2];
};
#define TALVANE_PAIR_OP(op)                                                             \
    inline Pair operator op(Pair a, Pair b) { return {a.v[0] op b.v[0], a.v[1] op b.v[1]}; }
TALVANE_PAIR_OP(+)
TALVANE_PAIR_OP(-)
TALVANE_PAIR_OP(*)
TALVANE_PAIR_OP(/)
#undef TALVANE_PAIR_OP
#define TALVANE_PAIR_COMPARE(op)                                                             \
    inline PairMask operator op(Pair a, Pair b) { return {a.v[0] op b.v[0], a.v[1] op b.v[1]}; }
TALVANE_PAIR_COMPARE(==)
TALVANE_PAIR_COMPARE(<)
TALVANE_PAIR_COMPARE(>=)
#undef TALVANE_PAIR_COMPARE
inline Pair pick(PairMask m, Pair a, Pair b) { return {m.v[0] ? a.v[0] : b.v[0], m.v[1] ? a.v[1] : b.v[1]}; }
#endif
TALVANE_ALWAYS_INLINE Pair load_pair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
TALVANE_ALWAYS_INLINE void store_pair(double* p, Pair v) { std::memcpy(p, &v, sizeof v); }
TALVANE_ALWAYS_INLINE Pair widen_pair(const float* p) {
    return Pair{static_cast<double>(p[0]), static_cast<double>(p[1])};
}
TALVANE_ALWAYS_INLINE Pair both(double v) { return Pair{v, v}; }

// One stage of half length kHalf, two butterflies at a time (each is the same
// formula, none reads another's result).
template <std::size_t kHalf>
void stage(Spectrum& z) {
    const double* tc = kTwiddles.c.data() + kHalf - 1;
    const double* ts = kTwiddles.s.data() + kHalf - 1;
    for (std::size_t g = 0; g < kPoints; g += 2 * kHalf) {
        for (std::size_t j = 0; j < kHalf; j += 2) {
            const Pair c = load_pair(tc + j), s = load_pair(ts + j);
            const Pair br = load_pair(z.re + g + kHalf + j), bi = load_pair(z.im + g + kHalf + j);
            const Pair ar = load_pair(z.re + g + j), ai = load_pair(z.im + g + j);
            const Pair tr = c * br + s * bi, ti = c * bi - s * br;
            store_pair(z.re + g + kHalf + j, ar - tr), store_pair(z.im + g + kHalf + j, ai - ti);
            store_pair(z.re + g + j, ar + tr), store_pair(z.im + g + j, ai + ti);
        }
    }
}

// The powers of bins first .. first + count - 1 from the complex transform.
void powers(Spectrum& z, std::size_t first, std::size_t count, double* p) {
    z.re[kPoints] = z.re[0], z.im[kPoints] = z.im[0];
    for (std::size_t b = 0; b < count; ++b) {
        const std::size_t k = first + b;
        const double are = z.re[k], aim = z.im[k], bre = z.re[kPoints - k], bim = z.im[kPoints - k];
        const double er = 0.5 * (are + bre), ei = 0.5 * (aim - bim);
        const double orr = 0.5 * (aim + bim), oi = 0.5 * (bre - are);
        const double c = kBinTurns.c[k], s = kBinTurns.s[k];
        const double xr = er + (c * orr + s * oi), xi = ei + (c * oi - s * orr);
        p[b] = xr * xr + xi * xi;
    }
}

// A finite sample widened to double, anything else 0.0. The choice is made on the
// bits, so that the compiler need not branch and can widen many samples at once.
TALVANE_ALWAYS_INLINE double finite_or_zero(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    const std::uint32_t keep = (bits & 0x7f800000u) == 0x7f800000u ? 0u : 0xffffffffu;
    return static_cast<double>(std::bit_cast<float>(bits & keep));
}

// Block sums of kD samples each (kD = 0: `d`, known only at run time).
template <std::size_t kD>
void write_blocks(const float* x, std::size_t count, std::uint64_t d, double* out) {
    const std::size_t n = kD == 0 ? static_cast<std::size_t>(d) : kD;
    for (std::size_t b = 0; b < count; ++b) {
        double sum = finite_or_zero(x[b * n]);
        for (std::size_t j = 1; j < n; ++j) sum += finite_or_zero(x[b * n + j]);
        out[b] = sum;
    }
}

// a * b < c * d, exactly: the products as 128-bit pairs from 32-bit halves.
std::pair<std::uint64_t, std::uint64_t> wide_product(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t al = a & 0xffffffffu, ah = a >> 32, bl = b & 0xffffffffu, bh = b >> 32;
    const std::uint64_t ll = al * bl, lh = al * bh, hl = ah * bl, hh = ah * bh;
    const std::uint64_t mid = (ll >> 32) + (lh & 0xffffffffu) + (hl & 0xffffffffu);
    return {hh + (lh >> 32) + (hl >> 32) + (mid >> 32), (mid << 32) | (ll & 0xffffffffu)};
}
bool product_less(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d) {
    return wide_product(a, b) < wide_product(c, d);
}

double clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }


}  // namespace

MusicMeasure::MusicMeasure() noexcept : MusicMeasure(16000, 160) {}

MusicMeasure::MusicMeasure(std::uint64_t sample_rate, std::uint64_t window_len) noexcept
    : rate_(sample_rate), window_len_(std::max<std::uint64_t>(1, window_len)) {
    // A window of 2^63 samples or more would make the period wrap: it saturates.
    period_ = window_len_ > UINT64_MAX / 2 ? UINT64_MAX : 2 * window_len_;
    block_ = std::max<std::uint64_t>(1, rate_ / 8000);
    std::uint64_t k0 = 0, k1 = 128;
    while (k0 <= 128 && product_less(k0, rate_, 200 * kMusicFrame, block_)) ++k0;
    while (k1 > 0 && product_less(4000 * kMusicFrame, block_, k1, rate_)) --k1;
    first_bin_ = static_cast<std::uint32_t>(k0);
    bins_ = k0 <= k1 ? static_cast<std::uint32_t>(k1 - k0 + 1) : 0;
}

void MusicMeasure::reset() noexcept { *this = MusicMeasure(rate_, window_len_); }

std::uint64_t MusicMeasure::spectra_after(std::uint64_t n) const noexcept {
    // since_ + n may wrap; since_ < period_, so this does not.
    return n / period_ + (n % period_ >= period_ - since_ ? 1 : 0);
}

std::size_t MusicMeasure::process(std::span<const float> samples, std::span<MusicValues> out) noexcept {
    std::size_t done = 0;
    for (std::size_t i = 0; i < samples.size();) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(samples.size() - i, period_ - since_));
        take_blocks(samples.data() + i, take);
        i += take;
        since_ += take;
        if (since_ == period_) {
            since_ = 0;
            out[done++] = spectrum();
        }
    }
    return done;
}

void MusicMeasure::take_blocks(const float* x, std::size_t n) noexcept {
    std::size_t j = 0;
    for (; j < n && in_block_ != 0; ++j) {
        partial_ += finite_or_zero(x[j]);
        if (++in_block_ == block_) {
            blocks_[next_block_] = partial_;
            next_block_ = (next_block_ + 1) % kMusicFrame;
            in_block_ = 0;
        }
    }
    // Whole blocks, in runs that end where the ring wraps.
    for (std::uint64_t whole = (n - j) / block_; whole > 0;) {
        const std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(whole, kMusicFrame - next_block_));
        double* to = blocks_.data() + next_block_;
        switch (block_) {
            case 1: write_blocks<1>(x + j, run, 1, to); break;
            case 2: write_blocks<2>(x + j, run, 2, to); break;
            case 3: write_blocks<3>(x + j, run, 3, to); break;
            case 4: write_blocks<4>(x + j, run, 4, to); break;
            case 5: write_blocks<5>(x + j, run, 5, to); break;
            case 6: write_blocks<6>(x + j, run, 6, to); break;
            default: write_blocks<0>(x + j, run, block_, to); break;
        }
        next_block_ = static_cast<std::uint32_t>((next_block_ + run) % kMusicFrame);
        j += static_cast<std::size_t>(run * block_);
        whole -= run;
    }
    for (; j < n; ++j) {
        partial_ = in_block_ == 0 ? finite_or_zero(x[j]) : partial_ + finite_or_zero(x[j]);
        ++in_block_;
    }
}

// Bins two at a time; an odd count takes one more bin of power 0, whose lane
// changes only places past the bins.
void MusicMeasure::whiten(double* p, float* white) noexcept {
    if (spectra_ == 1) std::copy(p, p + bins_, mean_.begin());
    if (bins_ % 2 != 0) p[bins_] = 0.0;
    const Pair most = both(kMusicWhiteMost), zero = both(0.0);
    for (std::uint32_t b = 0; b < bins_; b += 2) {
        const Pair a = load_pair(mean_.data() + b), power = load_pair(p + b);
        // Each quotient is computed, and chosen only where the mean is large enough.
        const Pair w = pick(power == zero, zero, pick(power >= most * a, most, power / a));
        white[b] = static_cast<float>(w[0]), white[b + 1] = static_cast<float>(w[1]);
        const Pair next = a + (power - a) * both(kMusicMeanWeight);
        store_pair(mean_.data() + b, pick(next < both(kMusicMeanFloor), zero, next));
    }
}

// Steadiness and novelty of this spectrum's whitened values against the last two.
MusicMeasure::Terms MusicMeasure::measures(const float* white, double sum) noexcept {
    const double m = sum / static_cast<double>(bins_), m_older = white_mean_[(spectra_ - 2) % 3];
    white_mean_[spectra_ % 3] = m;
    // Before the third spectrum the older values are all 0.0, before the second the last.
    const Pair keep_older = both(spectra_ > 2 ? 1.0 : 0.0), keep_last = both(spectra_ > 1 ? 1.0 : 0.0);
    const float* last = white_[(spectra_ - 1) % 3].data();
    const float* older = white_[(spectra_ - 2) % 3].data();
    // The terms side by side, then each sum in order.
    alignas(16) double uv[kMusicMaxBins], uu[kMusicMaxBins], vv[kMusicMaxBins], up[kMusicMaxBins];
    for (std::uint32_t b = 0; b < bins_; b += 2) {
        const Pair w = widen_pair(white + b);
        const Pair u = w - both(m), v = pick(keep_older == both(1.0), widen_pair(older + b) - both(m_older), both(0.0));
        const Pair d = w - pick(keep_last == both(1.0), widen_pair(last + b), both(0.0));
        store_pair(uv + b, u * v), store_pair(uu + b, u * u), store_pair(vv + b, v * v);
        store_pair(up + b, pick(both(0.0) < d, d, both(0.0)));
    }
    double dot = 0.0, u2 = 0.0, v2 = 0.0, rise = 0.0;
    for (std::uint32_t b = 0; b < bins_; ++b) dot += uv[b], u2 += uu[b], v2 += vv[b], rise += up[b];
    const double product = u2 * v2;
    return {product == 0.0 ? 0.0 : dot / std::sqrt(product), sum == 0.0 ? 0.0 : rise / sum};
}

MusicValues MusicMeasure::spectrum() noexcept {
    alignas(16) double x[kMusicFrame];
    const std::size_t wrap = kMusicFrame - next_block_;
    for (std::size_t n = 0; n < wrap; ++n) x[n] = blocks_[next_block_ + n] * kHann[n];
    for (std::size_t n = wrap; n < kMusicFrame; ++n) x[n] = blocks_[n - wrap] * kHann[n];
    Spectrum z;
    first_stages(x, z);
    stage<4>(z);
    stage<8>(z);
    stage<16>(z);
    stage<32>(z);
    stage<64>(z);
    alignas(16) double p[kMusicMaxBins];
    powers(z, first_bin_, bins_, p);
    ++spectra_;
    float* white = white_[spectra_ % 3].data();
    whiten(p, white);
    if (bins_ == 0) return averaged(0.0, 0.0);
    double sum = 0.0;
    for (std::uint32_t b = 0; b < bins_; ++b) sum += static_cast<double>(white[b]);
    const Terms t = measures(white, sum);
    return averaged(t.steadiness, t.novelty);
}

MusicValues MusicMeasure::averaged(double steady, double novel) noexcept {
    steady_[spectra_ % kMusicSteadySpectra] = steady;
    novel_[spectra_ % kMusicNovelSpectra] = novel;
    double s_sum = 0.0, n_sum = 0.0;
    for (std::size_t k = 1; k <= kMusicSteadySpectra; ++k) s_sum += steady_[(spectra_ + k) % kMusicSteadySpectra];
    for (std::size_t k = 1; k <= kMusicNovelSpectra; ++k) n_sum += novel_[(spectra_ + k) % kMusicNovelSpectra];
    const double s_avg = s_sum / static_cast<double>(kMusicSteadySpectra);
    const double n_avg = n_sum / static_cast<double>(kMusicNovelSpectra);
    const double g_s = clamp01((s_avg - 0.40) / 0.15), g_n = clamp01((0.45 - n_avg) / 0.10);
    const double factor = 1.0 + (2.0 * g_s) * g_n;
    return {static_cast<float>(s_avg), static_cast<float>(n_avg), static_cast<float>(factor)};
}

}  // namespace talvane
