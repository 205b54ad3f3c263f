// The band filter of the analysis signal: a causal high-pass and low-pass pair
// whose output bits are fixed by the definition below on every platform.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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

// Named bands, and how one is fitted to a rate. Speech carries its energy between
// the voice's low harmonics and the top of the second formant region; below 200 Hz
// lie mains hum and rumble, above 4 kHz most of the power of broadband noise at
// common rates. A preset edge at or above kBandPresetEdgeLimit of the Nyquist
// frequency (0.9 * rate / 2 in double) is dropped: the recording holds almost
// nothing above it, so 8 kHz telephone audio keeps the 200 Hz edge only.
struct BandPreset {
    const char* name;
    double low_hz, high_hz;
};
inline constexpr BandPreset kBandPresets[] = {{"speech", 200.0, 4000.0}};
inline constexpr double kBandPresetEdgeLimit = 0.9;

// The edges of the preset named `name` at sample_rate, or nullopt when no preset has
// that name. The edges are those band_edges_error accepts at every rate above 0.
std::optional<BandEdges> band_preset(std::string_view name, std::uint64_t sample_rate);

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
// Design, from +, -, *, / and sqrt only. Each edge is a second-order Butterworth
// section: for an edge f at rate fs (fs converted to double), K = band_tan(kBandPi *
// (f / fs)), KK = K * K, c = sqrt(2), d0 = (1 + c * K) + KK, and
//     a1 = ((KK - 1) * 2) / d0,   a2 = ((1 - c * K) + KK) / d0,
// with the gain 1 / d0 for the high-pass edge (low_hz) and KK / d0 for the low-pass
// edge (high_hz). The high-pass section comes first; G is the first section's gain,
// times the second's when there are two. Each section also carries
//     d1 = (2 * a2) - (a1 * a1),   d2 = a2 * a2,   b1 = (2 * d2) - (d1 * d1),   b2 = d2 * d2.
//
// Per sample x (float32, widened exactly to double), in this order:
//   1. Zeros, from the input's history (0 before the first sample):
//        both edges:      w = (x - x[t-2]) - (x[t-2] - x[t-4])   ((1 - z^-2)^2)
//        high-pass only:  w = (x - x[t-1]) - (x[t-1] - x[t-2])   ((1 - z^-1)^2)
//        low-pass only:   w = (x + x[t-1]) + (x[t-1] + x[t-2])   ((1 + z^-1)^2)
//   2. Poles: each section in order turns its input u (w for the first, the first
//      section's y for the second) into
//        v = (u - a1 * u[t-1]) + a2 * u[t-2]
//        y = (((v - d1 * v[t-2]) + d2 * v[t-4]) - b2 * y[t-8]) - b1 * y[t-4]
//      with its own earlier values (0 before the first sample).
//   3. Output: G * y of the last section, rounded to the nearest float32 (beyond
//      float32's range: infinity of that sign). With no edge, the output is x.
// Before every sample whose index since construction or reset() is a multiple of
// kBandFlushEvery, every earlier v and y of each section whose magnitude is below
// kBandFlushBelow becomes +0.0. Such values no longer reach any float32 output but
// the sign of a zero, and left alone they sink into subnormal doubles and ring there
// during digital silence, where processors run slowly.
//
// Why the poles take two steps: a section's poles are 1 / D(z) with D(z) = 1 + a1 z^-1
// + a2 z^-2, and D(z) (1 - a1 z^-1 + a2 z^-2) (1 - d1 z^-2 + d2 z^-4) = 1 + b1 z^-4 +
// b2 z^-8. Multiplying by the two middle factors (v, and the bracket y starts from)
// and dividing by the product (the rest of y) is the section's response up to
// rounding, yet each y reads the outputs 4 and 8 samples back, never the one just
// before: four successive samples are computed side by side in vector registers,
// where one step per sample would wait for the previous output every time. That
// takes 12 operations per sample and section instead of 4, and is still the faster.
// The six poles it adds are cancelled by the factors' zeros and lie at the section's
// own radius, so the filter is as stable, and in double their rounding stays far
// below the float32 rounding of the output.
//
// Why these orders: the gate needs the noise outside the band pushed well below
// speech, not a steep edge. 12 dB per octave takes mains hum at 50/60 Hz down by
// 21-24 dB under a 200 Hz edge and broadband noise a few kHz above a 4 kHz edge by
// as much; a fourth-order high-pass measured no better on our corpus and costs a
// third more per sample. Why double: a low edge at a high rate puts poles within
// 1e-3 of z = 1, where float32 coefficients would move the edge audibly and float32
// round-off, amplified by the poles, would reach the level the gate measures; in
// double the filter's error stays below the float32 rounding of its output.
//
// The output depends only on the samples since construction or reset(), never on
// how they were split into calls to process(), nor on which of band_paths() ran it.
// NaN poisons the state: every later output is NaN until reset(), as a NaN sample
// poisons the smoothed energies.
inline constexpr double kBandPi = 3.141592653589793;        // pi rounded to double
inline constexpr std::uint64_t kBandFlushEvery = 256;        // samples
inline constexpr double kBandFlushBelow = 0x1p-300;

// One implementation of the filter's stages; `available` tells whether this
// processor runs it. They give the same bits; the last available one is used.
struct BandPath {
    const char* name;
    bool (*available)();
};
std::span<const BandPath> band_paths();  // a portable path first

class BandFilter {
public:
    // Throws CheckFailed with band_edges_error's text when the edges are refused.
    // `path` picks one of band_paths() (for tests); by default the fastest available.
    BandFilter(const BandEdges& edges, std::uint64_t sample_rate);
    BandFilter(const BandEdges& edges, std::uint64_t sample_rate, std::size_t path);

    // Filters `in` into `out` (the same length; `out` may be `in` itself) and keeps
    // the state for the next call.
    void process(std::span<const float> in, std::span<float> out);

    // Back to the state before the first sample.
    void reset() noexcept;

    struct Section {
        double a1, a2, d1, d2, b1, b2;
    };
    std::span<const Section> sections() const noexcept { return {sections_.data(), n_sections_}; }
    double gain() const noexcept { return gain_; }

    // What the stages remember between calls, each oldest first: x[t-4] .. x[t-1],
    // w[t-2], w[t-1], and per section v[t-4] .. v[t-1] and y[t-8] .. y[t-1].
    struct State {
        std::array<double, 4> x;
        std::array<double, 2> w;
        std::array<std::array<double, 4>, 2> v;
        std::array<std::array<double, 8>, 2> y;
    };
    using Run = void (*)(const float* in, float* out, std::size_t n, State& state, std::uint64_t& phase,
                         const BandFilter& filter);

private:
    std::array<Section, 2> sections_{};
    std::size_t n_sections_ = 0;
    double gain_ = 1.0;
    Run run_ = nullptr;  // the stages on the chosen path; none without an edge
    State state_{};
    std::uint64_t phase_ = 0;  // samples since the last flush point, below kBandFlushEvery
};

// The whole of `samples` through a new BandFilter; throws as its constructor does.
SampleBuffer band_filter(std::span<const float> samples, std::uint64_t sample_rate, const BandEdges& edges);

}  // namespace talvane
