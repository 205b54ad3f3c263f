// The music measure: block sums into a ring, and at each spectrum the transform,
// the whitening and the two averaged measures.
#include "analysis/music_measure.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

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

// A finite sample widened to double, anything else 0.0.
double finite_or_zero(float x) {
    return (std::bit_cast<std::uint32_t>(x) & 0x7f800000u) != 0x7f800000u ? static_cast<double>(x) : 0.0;
}

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
    std::size_t done = 0, i = 0;
    const std::size_t n = samples.size();
    while (i < n) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n - i, period_ - since_));
        const float* x = samples.data() + i;
        std::size_t j = 0;
        // The partial block first, then whole blocks, then the start of the next.
        while (j < take && in_block_ != 0) {
            partial_ += finite_or_zero(x[j++]);
            if (++in_block_ == block_) {
                blocks_[next_block_] = partial_;
                next_block_ = (next_block_ + 1) % kMusicFrame;
                in_block_ = 0;
            }
        }
        if (block_ == 1) {
            for (; j < take; ++j) {
                blocks_[next_block_] = finite_or_zero(x[j]);
                next_block_ = (next_block_ + 1) % kMusicFrame;
            }
        } else {
            for (; take - j >= block_; j += block_) {
                double sum = finite_or_zero(x[j]);
                for (std::uint64_t d = 1; d < block_; ++d) sum += finite_or_zero(x[j + d]);
                blocks_[next_block_] = sum;
                next_block_ = (next_block_ + 1) % kMusicFrame;
            }
            for (; j < take; ++j) {
                partial_ = in_block_ == 0 ? finite_or_zero(x[j]) : partial_ + finite_or_zero(x[j]);
                ++in_block_;
            }
        }
        i += take;
        since_ += take;
        if (since_ == period_) {
            since_ = 0;
            out[done++] = spectrum();
        }
    }
    return done;
}

MusicValues MusicMeasure::spectrum() noexcept {
    // The frame, windowed, into the transform's bit-reversed places.
    alignas(16) double re[kPoints], im[kPoints];
    for (std::size_t i = 0; i < kPoints; ++i) {
        const std::size_t n = 2 * i;
        re[kBitReversal[i]] = blocks_[(next_block_ + n) % kMusicFrame] * kHann[n];
        im[kBitReversal[i]] = blocks_[(next_block_ + n + 1) % kMusicFrame] * kHann[n + 1];
    }
    for (std::size_t half = 1; half < kPoints; half *= 2) {
        const double* tc = kTwiddles.c.data() + half - 1;
        const double* ts = kTwiddles.s.data() + half - 1;
        for (std::size_t g = 0; g < kPoints; g += 2 * half) {
            double* ar = re + g;
            double* ai = im + g;
            double* br = ar + half;
            double* bi = ai + half;
            for (std::size_t j = 0; j < half; ++j) {
                const double tr = tc[j] * br[j] + ts[j] * bi[j];
                const double ti = tc[j] * bi[j] - ts[j] * br[j];
                br[j] = ar[j] - tr;
                bi[j] = ai[j] - ti;
                ar[j] = ar[j] + tr;
                ai[j] = ai[j] + ti;
            }
        }
    }
    ++spectra_;
    const std::size_t now = spectra_ % 3;
    float* white = white_[now].data();
    const float* last = white_[(spectra_ - 1) % 3].data();
    const float* older = white_[(spectra_ - 2) % 3].data();
    double steady = 0.0, novel = 0.0;
    if (bins_ > 0) {
        for (std::uint32_t b = 0; b < bins_; ++b) {
            const std::size_t k = first_bin_ + b;
            const std::size_t ka = k % kPoints, kb = (kPoints - k % kPoints) % kPoints;
            const double er = 0.5 * (re[ka] + re[kb]), ei = 0.5 * (im[ka] - im[kb]);
            const double orr = 0.5 * (im[ka] + im[kb]), oi = 0.5 * (re[kb] - re[ka]);
            const double c = cos_at(k), s = sin_at(k);
            const double xr = er + (c * orr + s * oi), xi = ei + (c * oi - s * orr);
            const double p = xr * xr + xi * xi;
            double& a = mean_[b];
            if (spectra_ == 1) a = p;
            const double w = p == 0.0 ? 0.0 : p >= kMusicWhiteMost * a ? kMusicWhiteMost : p / a;
            white[b] = static_cast<float>(w);
            a = a + (p - a) * kMusicMeanWeight;
            if (a < kMusicMeanFloor) a = 0.0;
        }
        const double count = static_cast<double>(bins_);
        double sum = 0.0;
        for (std::uint32_t b = 0; b < bins_; ++b) sum += static_cast<double>(white[b]);
        const double m = sum / count, m_older = white_mean_[(spectra_ - 2) % 3];
        white_mean_[now] = m;
        double dot = 0.0, uu = 0.0, vv = 0.0, rise = 0.0;
        for (std::uint32_t b = 0; b < bins_; ++b) {
            const double u = static_cast<double>(white[b]) - m;
            const double v = spectra_ > 2 ? static_cast<double>(older[b]) - m_older : 0.0;
            dot += u * v;
            uu += u * u;
            vv += v * v;
            const double d = static_cast<double>(white[b]) - (spectra_ > 1 ? static_cast<double>(last[b]) : 0.0);
            rise += std::max(0.0, d);
        }
        const double product = uu * vv;
        steady = product == 0.0 ? 0.0 : dot / std::sqrt(product);
        novel = sum == 0.0 ? 0.0 : rise / sum;
    }
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
