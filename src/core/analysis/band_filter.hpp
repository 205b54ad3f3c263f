// The band filter of the analysis signal: a causal high-pass and low-pass pair
// whose output bits are fixed by the definition below on every platform.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "buffer.hpp"

namespace talvane {

// The edges of a band in Hz; an absent edge is not filtered.
struct BandEdges {
    std::optional<double> low_hz;   // high-pass edge
    std::optional<double> high_hz;  // low-pass edge
};

// Why `edges` cannot be filtered at `sample_rate`, or an empty text when they can:
// every present edge must be a number above 0 and below sample_rate / 2 (so a rate
// of 0 or 1 takes no edge at all), and low_hz must be below high_hz. The text names
// the edge and its value.
std::string band_edges_error(const BandEdges& edges, std::uint64_t sample_rate);

// tan(x) for 0 < x < pi/2 from +, -, * and / alone, so that every platform gets the
// same bits (libm tangents differ in the last bit): Lambert's continued fraction
// x / (1 - x^2 / (3 - x^2 / (5 - ... / (2 * kBandTanTerms - 1)))), evaluated from
// the innermost denominator out, in double. Relative error below 1e-15 up to
// x = 0.45 * pi; closer to pi/2 the cancellation in the outer denominators grows.
inline constexpr int kBandTanTerms = 24;
double band_tan(double x);

// The filter, defined exactly. All arithmetic is IEEE double (no fused multiply-add),
// in the order written here.
//
// Design, from +, -, *, / and sqrt only. For an edge f at rate fs (fs converted to
// double): K = band_tan(kBandPi * (f / fs)), KK = K * K. A second-order Butterworth
// section with damping c gets d0 = (1 + c * K) + KK and
//     a1 = ((KK - 1) * 2) / d0,   a2 = ((1 - c * K) + KK) / d0,
// and the gain 1 / d0 (high-pass) or KK / d0 (low-pass). The high-pass edge is a
// fourth-order Butterworth: two sections, c = sqrt(2 + sqrt(2)) then c = sqrt(2 -
// sqrt(2)). The low-pass edge is a second-order Butterworth: one section, c =
// sqrt(2). Sections are ordered high-pass first, and G, the product of their gains
// in section order (starting from the first gain, not from 1), scales the output.
//
// Per sample x (float32, widened exactly to double), in this order:
//   1. Each section, in order, turns its input u into
//          w = (u - u[t-1]) - (u[t-1] - u[t-2])     (high-pass: zeros (1 - z^-1)^2)
//          w = (u + u[t-1]) + (u[t-1] + u[t-2])     (low-pass: zeros (1 + z^-1)^2)
//          y = (w - a2 * y[t-2]) - a1 * y[t-1]
//      and passes y on as the next section's u. Delayed values are that section's
//      own earlier inputs and outputs, 0 before the first sample.
//   2. Output: G * y of the last section (x itself with no section), rounded to
//      the nearest float32 (beyond float32's range: infinity of that sign).
// Each section's zeros come right before its poles, so the round-off of one
// section's poles is shaped by the next section's zeros (with the zeros of all
// sections first, a high-pass edge of 20 Hz at 192 kHz kept only five digits).
// Before every sample whose index since construction or reset() is a multiple of
// kBandFlushEvery, every earlier output y[t-1], y[t-2] of every section whose
// magnitude is below kBandFlushBelow becomes +0.0. Such values no longer reach any
// float32 output but the sign of a zero, and left alone they decay into subnormal
// doubles, on which processors run many times slower, during digital silence.
//
// Why double: a low edge at a high rate puts poles within 1e-3 of z = 1, where
// float32 coefficients would move the edge audibly and float32 round-off, amplified
// by the poles, would reach the level the gate measures; in double the filter's own
// error stays near the float32 rounding of its output. A double step costs the same
// as a float step here: each section's recurrence costs one multiply and one
// subtraction of latency per sample, the sections of successive samples overlap,
// and what bounds the speed is the count of additions (four per section per sample,
// the bracket (u[t-1] - u[t-2]) being the previous sample's (u - u[t-1])).
//
// The output depends only on the samples since construction or reset(), never on
// how they were split into calls to process(). NaN poisons the state: every later
// output is NaN until reset(), as a NaN sample poisons the smoothed energies.
inline constexpr double kBandPi = 3.141592653589793;        // pi rounded to double
inline constexpr std::uint64_t kBandFlushEvery = 64;         // samples
inline constexpr double kBandFlushBelow = 0x1p-300;

class BandFilter {
public:
    // Throws CheckFailed with band_edges_error's text when the edges are refused.
    BandFilter(const BandEdges& edges, std::uint64_t sample_rate);

    // Filters `in` into `out` (the same length; `out` may be `in` itself) and keeps
    // the state for the next call.
    void process(std::span<const float> in, std::span<float> out);

    // Back to the state before the first sample.
    void reset() noexcept;

    struct Section {
        double a1, a2;
    };
    std::span<const Section> sections() const noexcept { return {sections_.data(), n_sections_}; }
    double gain() const noexcept { return gain_; }

private:
    std::size_t high_pass_sections_ = 0;  // the first ones
    std::array<Section, 3> sections_{};
    std::size_t n_sections_ = 0;
    double gain_ = 1.0;
    // The input's x[t-1], x[t-2], then each section's y[t-1], y[t-2] (which are also
    // the next section's u[t-1], u[t-2]).
    std::array<double, 2> input_{};
    std::array<double, 6> poles_{};
    std::uint64_t phase_ = 0;  // samples since the last flush point, below kBandFlushEvery
};

// The whole of `samples` through a new BandFilter; throws as its constructor does.
SampleBuffer band_filter(std::span<const float> samples, std::uint64_t sample_rate, const BandEdges& edges);

}  // namespace talvane
