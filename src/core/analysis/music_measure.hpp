// The music measure of the analysis signal: how steady and how new its whitened
// short spectrum is, and the threshold factor that follows, with bits fixed by the
// definition below on every platform and for every chunking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace talvane {

struct MusicKernels;
struct MusicSums;

// The measure, defined exactly. The transform and everything after it is IEEE
// double (no fused multiply-add) in the order written here; the whitened values are
// kept as float32. Double, because a float32 power overflows for samples near 1e17
// (and the block sums themselves near 1e38), after which the running means would
// turn to infinity and then NaN for good; in double every finite sample gives
// finite values (a power stays below 1e120 at any rate).
//
// Input: the analysis signal (float32) at `rate` Hz, with the gate's windows of
// `window_len` samples (0 is taken as 1). A sample that is not finite is taken as
// 0.0. Everything is counted from the first sample since construction or reset().
//
//  1. Blocks. D = max(1, rate / 8000) (integer division). Block m is the double sum
//     y[mD] + y[mD + 1] + ... + y[mD + D - 1], from y[mD] (widened exactly), added
//     in that order.
//  2. When. Spectrum m (m = 1, 2, ...) is taken once m * period() samples are in,
//     period() = 2 * window_len (at most 2^64 - 1). Its frame x[0..255] is the last
//     256 blocks complete then, oldest first (0.0 for blocks before the start).
//  3. Window: x[n] * h[n], h[n] = 0.5 - 0.5 * C(n), C(n) = cos(2 pi n / 256) taken
//     from the quarter-wave table kMusicQuarterWave (q[j] = cos(2 pi j / 256),
//     j = 0..64, correctly rounded doubles printed by tools/music_tables.py):
//     C(n) = q[n] for n <= 64, -q[128 - n] up to 128, -q[n - 128] up to 192,
//     q[256 - n] above; S(n) = sin(2 pi n / 256) = q[64 - n] for n <= 64, q[n - 64]
//     up to 128.
//  4. Transform. z[i] = x[2i] h[2i] + i x[2i+1] h[2i+1], i = 0..127, is stored at
//     the bit-reversed (7 bits) position of i. Stages of length L = 2, 4, ..., 128:
//     for each group g = 0, L, 2L, ... and j = 0 .. L/2 - 1 in ascending order, with
//     a = z[g + j], b = z[g + j + L/2], c = C(256 j / L), s = S(256 j / L):
//         t = (c * b.re + s * b.im,  c * b.im - s * b.re)
//         z[g + j] = (a.re + t.re, a.im + t.im),  z[g + j + L/2] = (a.re - t.re, a.im - t.im)
//     In the stages of length 2 and 4, where (c, s) is (1, 0) or (0, 1), t is b or
//     (b.im, -b.re) without the products: only the sign of a zero can differ, and no
//     power sees it. The butterflies of a stage, like the bins below, are independent
//     of each other, so computing several side by side gives the same bits.
//     Bin k (0..128) of the 256-point transform, from a = z[k mod 128] and
//     b = z[(128 - k) mod 128], c = C(k), s = S(k):
//         e = (0.5 * (a.re + b.re), 0.5 * (a.im - b.im))
//         o = (0.5 * (a.im + b.im), 0.5 * (b.re - a.re))
//         X = (e.re + (c * o.re + s * o.im),  e.im + (c * o.im - s * o.re))
//         P = X.re * X.re + X.im * X.im
//     for the bins k0..k1: k0 the least k with k * rate >= 200 * 256 * D and k1 the
//     greatest k <= 128 with k * rate <= 4000 * 256 * D (exact integers): 7..128 at
//     8, 16 and 48 kHz (122 bins, the most at any rate), 6..116 at 44.1 kHz. A rate
//     below 400 Hz, 0 included, has no bin (no k <= 128 is enough).
//  5. Whitening, per bin, with its running mean A (set to P at the first spectrum):
//     W = 0 when P is 0, else kMusicWhiteMost when P >= kMusicWhiteMost * A, else
//     P / A, rounded to float32; then A = A + (P - A) * kMusicMeanWeight, and A
//     becomes 0.0 when below kMusicMeanFloor. The floor is reached only after many
//     minutes of digital silence (a mean falls by 1/150 per spectrum), where the
//     mean would otherwise sink into subnormal doubles, slow on many processors. It
//     changes a W only where a power that is not 0 lies below kMusicMeanFloor *
//     kMusicWhiteMost (about 1e-177), far below what float32 samples give (their
//     smallest is 1.4e-45) short of an exact cancellation.
//  6. Steadiness s. Of this spectrum's W and the one two spectra before (W = 0 in
//     every bin before the start), each centred by its mean: m = (sum of W in
//     ascending k from 0.0) / bins, U = W - m. dot, uu and vv are the sums in
//     ascending k from 0.0 of U_t * U_t-2, U_t * U_t and U_t-2 * U_t-2;
//     s = dot / sqrt(uu * vv), or 0.0 when uu * vv is 0.
//  7. Novelty n = (sum of max(0, W_t - W_t-1) in ascending k from 0.0, each
//     difference in double) / (sum of W_t from 0.0), or 0.0 when that sum is 0.
//     With no bin, s = n = 0.0.
//  8. Averages: steadiness = (sum of the last kMusicSteadySpectra s, oldest first,
//     from 0.0; 0.0 before the start) / kMusicSteadySpectra; novelty likewise over
//     kMusicNovelSpectra.
//  9. Factor: g_s = clamp((steadiness - 0.40) / 0.15, 0, 1), g_n = clamp((0.45 -
//     novelty) / 0.10, 0, 1), factor = 1 + (2 * g_s) * g_n, in [1, 3].
// The three values are the doubles of 8 and 9 rounded to float32.
inline constexpr double kMusicWhiteMost = 1e4;            // 40 dB over the bin's mean is new enough
inline constexpr double kMusicMeanWeight = 1.0 / 150.0;   // about 3 s at 20 ms a spectrum
inline constexpr double kMusicMeanFloor = 0x1p-600;
inline constexpr std::size_t kMusicSteadySpectra = 12;     // 0.24 s
inline constexpr std::size_t kMusicNovelSpectra = 4;       // 80 ms: speech over music lowers the factor soon
inline constexpr std::size_t kMusicFrame = 256;            // blocks per spectrum
inline constexpr std::size_t kMusicMaxBins = 122;
// cos(2 pi j / 256), j = 0..64, as tools/music_tables.py prints them.
inline constexpr std::array<double, 65> kMusicQuarterWave = {
    0x1.0000000000000p+0, 0x1.ffd886084cd0dp-1, 0x1.ff621e3796d7ep-1,
    0x1.fe9cdad01883ap-1, 0x1.fd88da3d12526p-1, 0x1.fc26470e19fd3p-1,
    0x1.fa7557f08a517p-1, 0x1.f8764fa714ba9p-1, 0x1.f6297cff75cb0p-1,
    0x1.f38f3ac64e589p-1, 0x1.f0a7efb9230d7p-1, 0x1.ed740e7684963p-1,
    0x1.e9f4156c62ddap-1, 0x1.e6288ec48e112p-1, 0x1.e212104f686e5p-1,
    0x1.ddb13b6ccc23cp-1, 0x1.d906bcf328d46p-1, 0x1.d4134d14dc93ap-1,
    0x1.ced7af43cc773p-1, 0x1.c954b213411f5p-1, 0x1.c38b2f180bdb1p-1,
    0x1.bd7c0ac6f952ap-1, 0x1.b728345196e3ep-1, 0x1.b090a58150200p-1,
    0x1.a9b66290ea1a3p-1, 0x1.a29a7a0462782p-1, 0x1.9b3e047f38741p-1,
    0x1.93a22499263fbp-1, 0x1.8bc806b151741p-1, 0x1.83b0e0bff976ep-1,
    0x1.7b5df226aafafp-1, 0x1.72d0837efff96p-1, 0x1.6a09e667f3bcdp-1,
    0x1.610b7551d2cdfp-1, 0x1.57d69348ceca0p-1, 0x1.4e6cabbe3e5e9p-1,
    0x1.44cf325091dd6p-1, 0x1.3affa292050b9p-1, 0x1.30ff7fce17035p-1,
    0x1.26d054cdd12dfp-1, 0x1.1c73b39ae68c8p-1, 0x1.11eb3541b4b23p-1,
    0x1.073879922ffeep-1, 0x1.f8ba4dbf89abap-2, 0x1.e2b5d3806f63bp-2,
    0x1.cc66e9931c45ep-2, 0x1.b5d1009e15cc0p-2, 0x1.9ef7943a8ed8ap-2,
    0x1.87de2a6aea963p-2, 0x1.7088530fa459fp-2, 0x1.58f9a75ab1fddp-2,
    0x1.4135c94176601p-2, 0x1.294062ed59f06p-2, 0x1.111d262b1f677p-2,
    0x1.f19f97b215f1bp-3, 0x1.c0b826a7e4f63p-3, 0x1.8f8b83c69a60bp-3,
    0x1.5e214448b3fc6p-3, 0x1.2c8106e8e613ap-3, 0x1.f564e56a9730ep-4,
    0x1.917a6bc29b42cp-4, 0x1.2d52092ce19f6p-4, 0x1.91f65f10dd814p-5,
    0x1.92155f7a3667ep-6, 0x0.0p+0,
};

// What one spectrum gives: the averaged steadiness, averaged novelty and the
// threshold factor in [1, 3].
struct MusicValues {
    float steadiness, novelty, factor;
};

class MusicMeasure {
public:
    MusicMeasure() noexcept;  // as MusicMeasure(16000, 160)
    MusicMeasure(std::uint64_t sample_rate, std::uint64_t window_len) noexcept;
    // Samples per spectrum: 2 * window_len (a spectrum after every second window).
    std::uint64_t period() const noexcept { return period_; }
    // How many spectra `n` more samples complete, from the present state.
    std::uint64_t spectra_after(std::uint64_t n) const noexcept;
    // Takes the next samples (any chunking gives the same bits); writes the values
    // of each spectrum they complete, in order, to `out`, which must hold
    // spectra_after(samples.size()) values; returns how many.
    std::size_t process(std::span<const float> samples, std::span<MusicValues> out) noexcept;
    std::uint64_t spectra() const noexcept { return spectra_; }  // since construction or reset()
    void reset() noexcept;                                         // as new, same rate and path
    // Computes with path `path` of music_paths() (music_kernels.hpp) from now on, to
    // hold every path to the same bits; the fastest this processor runs by default.
    void use_path(std::size_t path) noexcept;
    // Becomes `later`, given that it is this measure after more samples (the same
    // rate, window and path, nothing taken in between but those samples): copies
    // what they changed, the blocks they completed and the spectral state when they
    // completed a spectrum, rather than the whole 4 KB. A stream's double buffer
    // keeps its two measures a call apart this way.
    void catch_up(const MusicMeasure& later) noexcept;
    // Every member bit for bit the same (for checks).
    bool same_state(const MusicMeasure& other) const noexcept;

private:
    // About 4.2 KB, the same at any rate: the ring of blocks (2 KB), the bins' means
    // (1 KB), two spectra of whitened values and the last 12 + 4 measures. A call
    // whitens the spectra it completes in batches of kMusicBatch (music_kernels.hpp),
    // each whitened in order and their sums taken side by side; the stack holds
    // about 12 KB for that.
    void take_blocks(const float* x, std::size_t n) noexcept;
    void alone(const float* white, double sum, MusicSums& out) noexcept;
    void finish(const double (*powers)[kMusicMaxBins], std::size_t count, MusicValues* out) noexcept;
    MusicValues averaged(double steady, double novel) noexcept;

    const MusicKernels* kernels_;
    std::uint64_t rate_ = 0, window_len_ = 1, period_ = 2, block_ = 1;
    std::uint32_t first_bin_ = 0, bins_ = 0;
    std::uint64_t since_ = 0;     // samples since the last spectrum, below period_
    std::uint64_t spectra_ = 0;
    std::uint64_t in_block_ = 0;  // samples in the partial block, below block_
    double partial_ = 0.0;
    std::uint32_t next_block_ = 0;  // where the ring takes the next block; the oldest is there
    std::uint64_t blocks_taken_ = 0;  // blocks completed since construction or reset()
    std::array<double, kMusicFrame> blocks_{};
    std::array<double, kMusicMaxBins> mean_{};
    // The whitened values of the spectra two before and one before the next, and
    // their means; 0.0 for spectra before the start.
    std::array<std::array<float, kMusicMaxBins>, 2> white_{};
    std::array<double, 2> white_mean_{};
    std::array<double, kMusicSteadySpectra> steady_{};  // by spectrum number mod 12
    std::array<double, kMusicNovelSpectra> novel_{};
};

}  // namespace talvane
