// Bounds of a stream's windows' energies and smoothed values from its prefix of squares.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "streaming/bounded_grid.hpp"

namespace talvane {

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

// The rounding of a window's sum from the prefix, per unit of the magnitudes it
// adds: each within-block sum, and a block's total, is off by at most `block` units
// of 2^-53 of itself (its terms are squares, never negative, so it is the largest
// of its partial sums), and the sum's two or three terms add a unit each of their
// magnitudes. This is twice that. Two forms of the error use it, both covering the
// sum's error and the rounding of the bound's own double steps:
// - by blocks, share * 3 * (t1 + t2) from its blocks' totals (each sum is at most
//   its block's total), one figure for every window inside a block;
// - by ends, share * (ends + starts + total) from the window's own prefix values,
//   which a window's bounds can be given with as soon as its last sample is seen,
//   before its block's total is known (the chains').
inline double prefix_error_share(std::uint64_t block) { return static_cast<double>(2 * block + 8) * 0x1p-53; }
enum class ErrorForm { by_blocks, by_ends };

// One window's sum through the reader, into d within err: the general case (a
// window reaching into the step's values, or across a block's end, whose first
// block's total it adds).
inline void one_window_sum(const PrefixReader& r, std::uint64_t o, std::uint64_t len, double share, ErrorForm form, double& d,
                    double& err) {
    const PrefixStep& s = r.step;
    const int shift = std::countr_zero(s.block);
    const std::uint64_t b = (o - s.origin) >> shift, b2 = (o + len - s.origin) >> shift;
    const double ends = r.within(o + len), starts = r.within(o), across = b2 != b ? r.total(b) : 0.0;
    d = (ends - starts) + across;
    err = form == ErrorForm::by_ends ? share * ((ends + starts) + across) : share * 3.0 * (r.total(b) + r.total(b2));
}

// The RMS of a window from its sum of squares, as window_energies forms it: a
// division and a square root, each correctly rounded and so monotone in the sum.
inline float rms_of_sum(float sum, std::uint64_t count) { return std::sqrt(sum / static_cast<float>(count)); }

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
        return rms_of_sum(static_cast<float>(s), len);
    }
    float high(double d, double err) const noexcept {
        return rms_of_sum(static_cast<float>((d + err) * (1.0 + rel) + tiny), len);
    }
    // Both bounds of a window whose sum is ends - starts + across from the prefix,
    // as one_window_sum forms it (across 0 inside one block).
    void of_sums(double ends, double starts, double across, double share, float& lo, float& hi) const noexcept {
        const double d = (ends - starts) + across, err = share * ((ends + starts) + across);
        lo = low(d, err);
        hi = high(d, err);
    }
};

// Bounds of every window's smoothed value: the recurrence is monotone in both its
// running value and its energy when 0 <= alpha <= 1 (each rounded step is), so the
// same float recurrence over the lower bounds gives a lower bound, and likewise above.
// The energies' bounds are made first, over independent windows, then smoothed in place.
void bound_smoothed(const PrefixReader& r, const Combined& combined, std::uint64_t w, std::size_t n, float alpha,
                    BoundedCall& c);

// The call's own bounds of windows [first, first + m) of its grid from `start`, by
// ends, smoothed on from the running values (taken from window 0's when first is 0).
void bound_head(const PrefixReader& r, std::uint64_t start, std::uint64_t w, std::size_t first, std::size_t m,
                float alpha, float& running_lo, float& running_hi, float* lo, float* hi);

inline bool same_bits(float a, float b) noexcept {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

}  // namespace talvane
