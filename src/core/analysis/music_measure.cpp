// The music measure: block sums into a ring, and at each spectrum the transform,
// the whitening and the two averaged measures.
#include "analysis/music_measure.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>

#include "analysis/music_kernels.hpp"
#include "analysis/simd.hpp"

namespace talvane {

namespace {

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
    : kernels_(&music_kernels()), rate_(sample_rate), window_len_(std::max<std::uint64_t>(1, window_len)) {
    // A window of 2^63 samples or more would make the period wrap: it saturates.
    period_ = window_len_ > UINT64_MAX / 2 ? UINT64_MAX : 2 * window_len_;
    block_ = std::max<std::uint64_t>(1, rate_ / 8000);
    std::uint64_t k0 = 0, k1 = 128;
    while (k0 <= 128 && product_less(k0, rate_, 200 * kMusicFrame, block_)) ++k0;
    while (k1 > 0 && product_less(4000 * kMusicFrame, block_, k1, rate_)) --k1;
    first_bin_ = static_cast<std::uint32_t>(k0);
    bins_ = k0 <= k1 ? static_cast<std::uint32_t>(k1 - k0 + 1) : 0;
}

void MusicMeasure::reset() noexcept {
    const MusicKernels* kernels = kernels_;
    *this = MusicMeasure(rate_, window_len_);
    kernels_ = kernels;
}

void MusicMeasure::use_path(std::size_t path) noexcept { kernels_ = &music_paths()[path].kernels; }

void MusicMeasure::catch_up(const MusicMeasure& later) noexcept {
    assert(later.blocks_taken_ >= blocks_taken_ && later.spectra_ >= spectra_ && "not a later state");
    // The ring positions the blocks between took, from this measure's next one on.
    const std::uint64_t taken = later.blocks_taken_ - blocks_taken_;
    if (taken >= kMusicFrame) {
        blocks_ = later.blocks_;
    } else {
        const std::size_t from = next_block_, count = static_cast<std::size_t>(taken);
        const std::size_t first_run = std::min(count, kMusicFrame - from);
        std::copy_n(later.blocks_.begin() + from, first_run, blocks_.begin() + from);
        std::copy_n(later.blocks_.begin(), count - first_run, blocks_.begin());
    }
    if (later.spectra_ != spectra_) {
        mean_ = later.mean_;
        white_ = later.white_;
        white_mean_ = later.white_mean_;
        steady_ = later.steady_;
        novel_ = later.novel_;
    }
    kernels_ = later.kernels_;
    rate_ = later.rate_, window_len_ = later.window_len_, period_ = later.period_, block_ = later.block_;
    first_bin_ = later.first_bin_, bins_ = later.bins_;
    since_ = later.since_, spectra_ = later.spectra_, in_block_ = later.in_block_, partial_ = later.partial_;
    next_block_ = later.next_block_, blocks_taken_ = later.blocks_taken_;
}

bool MusicMeasure::same_state(const MusicMeasure& other) const noexcept {
    const auto same = [](const auto& a, const auto& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; };
    return kernels_ == other.kernels_ && rate_ == other.rate_ && window_len_ == other.window_len_ &&
           period_ == other.period_ && block_ == other.block_ && first_bin_ == other.first_bin_ &&
           bins_ == other.bins_ && since_ == other.since_ && spectra_ == other.spectra_ &&
           in_block_ == other.in_block_ && same(partial_, other.partial_) && next_block_ == other.next_block_ &&
           blocks_taken_ == other.blocks_taken_ && same(blocks_, other.blocks_) && same(mean_, other.mean_) &&
           same(white_, other.white_) && same(white_mean_, other.white_mean_) && same(steady_, other.steady_) &&
           same(novel_, other.novel_);
}

std::uint64_t MusicMeasure::spectra_after(std::uint64_t n) const noexcept {
    // since_ + n may wrap; since_ < period_, so this does not.
    return n / period_ + (n % period_ >= period_ - since_ ? 1 : 0);
}

std::size_t MusicMeasure::process(std::span<const float> samples, std::span<MusicValues> out) noexcept {
    // The powers of the spectra completed and not yet whitened, at most a batch.
    alignas(16) double powers[kMusicBatch][kMusicMaxBins];
    std::size_t done = 0, waiting = 0;
    for (std::size_t i = 0; i < samples.size();) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(samples.size() - i, period_ - since_));
        take_blocks(samples.data() + i, take);
        i += take;
        since_ += take;
        if (since_ == period_) {
            since_ = 0;
            kernels_->powers(blocks_.data(), next_block_, first_bin_, bins_, powers[waiting]);
            if (++waiting == kMusicBatch) finish(powers, waiting, out.data() + done), done += waiting, waiting = 0;
        }
    }
    if (waiting != 0) finish(powers, waiting, out.data() + done), done += waiting;
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
            ++blocks_taken_;
        }
    }
    // Whole blocks, in runs that end where the ring wraps.
    for (std::uint64_t whole = (n - j) / block_; whole > 0;) {
        const std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(whole, kMusicFrame - next_block_));
        kernels_->blocks(x + j, run, block_, blocks_.data() + next_block_);
        next_block_ = static_cast<std::uint32_t>((next_block_ + run) % kMusicFrame);
        blocks_taken_ += run;
        j += static_cast<std::size_t>(run * block_);
        whole -= run;
    }
    for (; j < n; ++j) {
        partial_ = in_block_ == 0 ? finite_or_zero(x[j]) : partial_ + finite_or_zero(x[j]);
        ++in_block_;
    }
}

// The sums of a spectrum alone (`sum`, that of its whitened values, taken as they
// were made): its terms side by side, then each sum in order.
void MusicMeasure::alone(const float* white, double sum, MusicSums& out) noexcept {
    alignas(16) double uv[kMusicMaxBins], uu[kMusicMaxBins], vv[kMusicMaxBins], up[kMusicMaxBins];
    kernels_->terms(white, white_[1].data(), white_[0].data(), sum / static_cast<double>(bins_), white_mean_[0], bins_,
                    uv, uu, vv, up);
    double dot = 0.0, u2 = 0.0, v2 = 0.0, rise = 0.0;
    for (std::uint32_t b = 0; b < bins_; ++b) dot += uv[b], u2 += uu[b], v2 += vv[b], rise += up[b];
    out.white[0] = sum, out.dot[0] = dot, out.uu[0] = u2, out.vv[0] = v2, out.rise[0] = rise;
}

// Whitens the batch's `count` spectra in order, then takes their sums side by side.
void MusicMeasure::finish(const double (*powers)[kMusicMaxBins], std::size_t count, MusicValues* out) noexcept {
    alignas(16) float white[kMusicBatch][kMusicMaxBins];
    double alone_sum = 0.0;  // a spectrum alone: the sum of its whitened values
    for (std::size_t j = 0; j < count; ++j) {
        if (spectra_ + j == 0) std::copy(powers[j], powers[j] + bins_, mean_.begin());
        kernels_->whiten(powers[j], mean_.data(), white[j], bins_, count == 1 ? &alone_sum : nullptr);
    }
    if (bins_ == 0) {
        for (std::size_t j = 0; j < count; ++j) ++spectra_, out[j] = averaged(0.0, 0.0);
        return;
    }
    MusicSums sums;
    if (count == 1) {
        alone(white[0], alone_sum, sums);
    } else {
        alignas(16) double table[kMusicMaxBins * kMusicRow];
        for (std::uint32_t b = 0; b < bins_; ++b) {
            double* row = table + b * kMusicRow;
            row[0] = static_cast<double>(white_[0][b]), row[1] = static_cast<double>(white_[1][b]);
            for (std::size_t j = 0; j < kMusicBatch; ++j) row[2 + j] = j < count ? static_cast<double>(white[j][b]) : 0.0;
        }
        kernels_->sums(table, bins_, white_mean_[0], white_mean_[1], sums);
    }
    for (std::size_t j = 0; j < count; ++j) {
        const double product = sums.uu[j] * sums.vv[j], sum = sums.white[j];
        ++spectra_;
        out[j] = averaged(product == 0.0 ? 0.0 : sums.dot[j] / std::sqrt(product), sum == 0.0 ? 0.0 : sums.rise[j] / sum);
    }
    // The batch's last two spectra become the two before the next.
    const double last_mean = sums.white[count - 1] / static_cast<double>(bins_);
    if (count >= 2) {
        std::copy(white[count - 2], white[count - 2] + bins_, white_[0].begin());
        white_mean_[0] = sums.white[count - 2] / static_cast<double>(bins_);
    } else {
        white_[0] = white_[1], white_mean_[0] = white_mean_[1];
    }
    std::copy(white[count - 1], white[count - 1] + bins_, white_[1].begin());
    white_mean_[1] = last_mean;
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
